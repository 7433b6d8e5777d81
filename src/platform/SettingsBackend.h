#pragma once

#include <optional>
#include <string>

namespace drovanta::platform {

// The per-user store of application settings, addressed by application name,
// section and key, holding texts. Writes are stored at once.
class SettingsBackend {
public:
    virtual std::optional<std::string> read(const std::string &application, const std::string &section,
                                            const std::string &key) const = 0;
    virtual void write(const std::string &application, const std::string &section, const std::string &key,
                       const std::string &value) = 0;

protected:
    ~SettingsBackend() = default;
};

} // namespace drovanta::platform
