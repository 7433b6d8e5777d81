#pragma once

#include "platform/SettingsBackend.h"

#include <QString>

namespace drovanta::platform {

// Settings through QSettings: on Windows the current user's registry
// (HKEY_CURRENT_USER\Software\<application>\<section>), elsewhere the user's
// config folder (<application>/<section>.conf).
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
    QString m_folder;
};

} // namespace drovanta::platform
