#pragma once

#include "platform/linux/MountInfo.h"

#include <filesystem>
#include <optional>
#include <string>

namespace drovanta::platform {

// The block device under a mounted filesystem, as the kernel's sysfs tree
// describes it.
struct BlockDevice {
    // Kernel names: "sdb1" and its disk "sdb"; a whole-disk device is its own disk.
    std::string name;
    std::string diskName;
    // The device's own number as "MAJ:MIN" (btrfs mounts show another one).
    std::string number;
    // The disk says its medium can be taken out (USB sticks, card readers).
    bool removable = false;
};

// Looks the device up by the mount's major:minor (<sys>/dev/block/MAJ:MIN)
// and, for filesystems that report an anonymous device number (btrfs), by
// the name of the /dev path that was mounted (<sys>/class/block/NAME).
// Empty when the mount is not backed by a block device sysfs knows.
std::optional<BlockDevice> findBlockDevice(const std::filesystem::path &sysRoot, const MountEntry &entry);

} // namespace drovanta::platform
