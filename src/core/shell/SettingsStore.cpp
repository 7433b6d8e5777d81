#include "core/shell/SettingsStore.h"

#include "platform/Failure.h"
#include "platform/Services.h"
#include "platform/SettingsBackend.h"

#include "core/shell/NumberText.h"

#include <cfenv>
#include <cmath>

namespace drovanta::shell::SettingsStore {
namespace {

const std::string applicationName = "Corvane";
const std::string sectionName = "Drovanta";

} // namespace

std::string getSetting(const std::string &key, int defaultValue)
{
    const auto value = platform::services().settings->read(applicationName, sectionName, key);
    return value ? *value : std::to_string(defaultValue);
}

std::optional<std::string> findSetting(const std::string &key)
{
    return platform::services().settings->read(applicationName, sectionName, key);
}

void saveSetting(const std::string &key, const std::string &value)
{
    platform::services().settings->write(applicationName, sectionName, key, value);
}

short toInteger16(const std::string &text)
{
    const std::optional<double> read = regionalNumber(text);
    if (!read || !std::isfinite(*read))
        throw Failure("Type mismatch");
    const double number = *read;
    // nearbyint rounds in the current mode; the default is to nearest, ties to even.
    const int mode = std::fegetround();
    std::fesetround(FE_TONEAREST);
    const double rounded = std::nearbyint(number);
    std::fesetround(mode);
    if (rounded < -32768.0 || rounded > 32767.0)
        throw Failure("Overflow");
    return static_cast<short>(rounded);
}

} // namespace drovanta::shell::SettingsStore
