#pragma once

#include "platform/linux/ConfiguredMounts.h"
#include "platform/linux/MountInfo.h"

#include <filesystem>
#include <string>
#include <vector>

namespace drovanta::platform {

// What decides whether a desktop shows a mount: where sysfs and udev publish
// the devices, the user's home, and the mounts userspace has configured or
// recorded (/etc/fstab, /run/mount/utab) with their options.
struct DesktopContext {
    std::filesystem::path sysfs;
    std::filesystem::path udevData;
    std::string home;
    std::vector<ConfiguredMount> configured;
};

// False for what a desktop's file manager keeps out of sight: /boot, the EFI
// system partition (by its GPT partition type, or a vfat filesystem at
// /boot/efi or /efi), swap, mounts marked hidden (option x-gvfs-hide, or
// udev's UDISKS_IGNORE), and a filesystem on a removable disk or disc mounted
// anywhere but under /media, /run/media, /mnt or the home folder. The root
// filesystem, and a fixed disk's filesystem wherever it is mounted (a
// separate /home), are shown. Mounts without a block device (network shares,
// RAM disks, the kernel's own) are left to the drive type to sort out.
bool desktopShows(const MountEntry &entry, const DesktopContext &context);

} // namespace drovanta::platform
