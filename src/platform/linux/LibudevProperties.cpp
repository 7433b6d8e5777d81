#include "platform/linux/LibudevProperties.h"

#include <libudev.h>

#include <charconv>
#include <memory>
#include <sys/sysmacros.h>

namespace drovanta::platform {

namespace {

struct UdevRelease {
    void operator()(udev *context) const { udev_unref(context); }
};
struct DeviceRelease {
    void operator()(udev_device *device) const { udev_device_unref(device); }
};

bool parseNumber(std::string_view text, unsigned &value)
{
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc{} && end == text.data() + text.size();
}

} // namespace

std::map<std::string, std::string> libudevProperties(std::string_view number)
{
    std::map<std::string, std::string> properties;
    const std::size_t colon = number.find(':');
    unsigned major = 0;
    unsigned minor = 0;
    if (colon == std::string_view::npos || !parseNumber(number.substr(0, colon), major)
        || !parseNumber(number.substr(colon + 1), minor))
        return properties;

    const std::unique_ptr<udev, UdevRelease> context(udev_new());
    if (!context)
        return properties;
    const std::unique_ptr<udev_device, DeviceRelease> device(
        udev_device_new_from_devnum(context.get(), 'b', makedev(major, minor)));
    if (!device)
        return properties;
    for (udev_list_entry *entry = udev_device_get_properties_list_entry(device.get()); entry;
         entry = udev_list_entry_get_next(entry)) {
        const char *value = udev_list_entry_get_value(entry);
        properties[udev_list_entry_get_name(entry)] = value ? value : "";
    }
    return properties;
}

} // namespace drovanta::platform
