#include "platform/linux/DesktopMounts.h"

#include "platform/linux/DriveClassifier.h"
#include "platform/linux/SysfsBlockDevice.h"

#include <algorithm>
#include <cctype>
#include <string_view>

namespace drovanta::platform {

namespace {

constexpr std::string_view efiSystemPartitionType = "c12a7328-f81f-11d2-ba4b-00a0c93ec93b";
constexpr std::string_view hiddenOption = "x-gvfs-hide";

bool isBelow(const std::string &path, std::string_view folder)
{
    if (folder.empty() || folder == "/")
        return false;
    while (folder.size() > 1 && folder.back() == '/')
        folder.remove_suffix(1);
    return path.size() > folder.size() && path.starts_with(folder) && path[folder.size()] == '/';
}

bool sameText(std::string_view a, std::string_view b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
    });
}

bool markedHidden(const MountEntry &entry, const DesktopContext &context)
{
    if (hasMountOption(entry.options, hiddenOption) || hasMountOption(entry.superOptions, hiddenOption)
        || hasMountOption(entry.userOptions, hiddenOption))
        return true;
    return std::any_of(context.configured.begin(), context.configured.end(), [&](const ConfiguredMount &mount) {
        return mount.mountPoint == entry.mountPoint && hasMountOption(mount.options, hiddenOption);
    });
}

bool inDesktopPlace(const std::string &mountPoint, const std::string &home)
{
    return isBelow(mountPoint, "/media") || isBelow(mountPoint, "/run/media") || isBelow(mountPoint, "/mnt")
        || isBelow(mountPoint, home);
}

} // namespace

bool desktopShows(const MountEntry &entry, const DesktopContext &context)
{
    if (entry.fsType == "swap" || entry.mountPoint == "/boot")
        return false;
    if (entry.fsType == "vfat" && (entry.mountPoint == "/boot/efi" || entry.mountPoint == "/efi"))
        return false;
    if (markedHidden(entry, context))
        return false;

    const auto device = findBlockDevice(context.sysfs, entry);
    if (device) {
        const auto udev = context.udevProperties(device->number);
        if (const auto ignore = udev.find("UDISKS_IGNORE"); ignore != udev.end() && ignore->second == "1")
            return false;
        if (const auto type = udev.find("ID_PART_ENTRY_TYPE");
            type != udev.end() && sameText(type->second, efiSystemPartitionType))
            return false;
    }
    if (entry.mountPoint == "/")
        return true;
    const bool onBlockDevice = device || entry.source.starts_with("/dev/");
    if (!onBlockDevice)
        return true;
    return inDesktopPlace(entry.mountPoint, context.home) || classifyMount(entry, context.sysfs) == DriveType::Fixed;
}

} // namespace drovanta::platform
