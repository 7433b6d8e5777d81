#pragma once

#include "platform/linux/ConfiguredMounts.h"
#include "platform/linux/MountInfo.h"

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace drovanta::platform {

// What decides whether a desktop shows a mount: where sysfs publishes the
// devices, the user's home, the mounts /etc/fstab configures with their
// options, and udev's properties of a device.
struct DesktopContext {
    std::filesystem::path sysfs;
    std::string home;
    std::vector<ConfiguredMount> configured;
    // Of the block device numbered "MAJ:MIN"; empty when udev keeps none.
    std::function<std::map<std::string, std::string>(std::string_view number)> udevProperties;
};

// False for what a desktop's file manager keeps out of sight: /boot, the EFI
// system partition (by its GPT partition type, or a vfat filesystem at
// /boot/efi or /efi), swap, mounts marked hidden (option x-gvfs-hide among
// the mount's own, its user or its fstab options, or udev's UDISKS_IGNORE),
// and a filesystem on a removable disk or disc mounted anywhere but under
// /media, /run/media, /mnt or the home folder. The root
// filesystem, and a fixed disk's filesystem wherever it is mounted (a
// separate /home), are shown. Mounts without a block device (network shares,
// RAM disks, the kernel's own) are left to the drive type to sort out.
bool desktopShows(const MountEntry &entry, const DesktopContext &context);

} // namespace drovanta::platform
