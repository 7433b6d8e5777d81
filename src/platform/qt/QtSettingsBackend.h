#pragma once

#include "platform/SettingsBackend.h"

#include <QString>

#include <map>
#include <string>

namespace drovanta::platform {

// Settings through QSettings: on Windows the current user's registry
// (HKEY_CURRENT_USER\Software\<application>\<section>), elsewhere the user's
// config folder (<application>/<section>.conf).
//
// A settings file that is not a plain file of the user's own (a link, a
// device, a named pipe, another user's file, or one in a linked folder) is
// neither read nor written: QSettings would write through a link onto its
// target, and block on a pipe. The settings then live in memory until the
// program ends, and the first access says so once (a Failure).
class QtSettingsBackend final : public SettingsBackend {
public:
    QtSettingsBackend() = default;
    // Keeps every file under `folder` instead of the user's real settings (tests).
    explicit QtSettingsBackend(QString folder) : m_folder(std::move(folder)) {}

    std::optional<std::string> read(const std::string &application, const std::string &section,
                                    const std::string &key) const override;
    void write(const std::string &application, const std::string &section, const std::string &key,
               const std::string &value) override;

private:
    // Whether the settings file may be used; throws the one Failure the
    // first time it may not.
    bool usable(const std::string &application, const std::string &section) const;

    QString m_folder;
    mutable bool m_unsafe = false;
    mutable bool m_said = false;
    std::map<std::string, std::string> m_kept; // by key, when the file is not used
};

} // namespace drovanta::platform
