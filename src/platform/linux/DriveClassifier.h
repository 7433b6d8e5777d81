#pragma once

#include "platform/DriveSource.h"
#include "platform/linux/MountInfo.h"

#include <filesystem>
#include <functional>
#include <vector>

namespace drovanta::platform {

// The drive type of a mounted filesystem: optical filesystems and /dev/sr*
// are CD-ROMs, network filesystems are network drives, tmpfs and ramfs are RAM
// disks, a block device is removable or fixed as its disk says in sysfs, and
// everything else (kernel pseudo filesystems, overlays, squashfs images,
// fuse without a device) is unknown.
DriveType classifyMount(const MountEntry &entry, const std::filesystem::path &sysRoot);

// The mounts that count as drives, in mount-table order: each filesystem once
// (its first mount), never a bind mount of a sub-folder, since backing up a
// folder that is also reachable through its own drive would copy it twice,
// and never a mount hidden by a later mount on the same mount point. Of a
// filesystem mounted twice, the first mount that `shown` accepts counts.
std::vector<MountEntry> driveMounts(const std::vector<MountEntry> &entries,
                                    const std::function<bool(const MountEntry &)> &shown = {});

} // namespace drovanta::platform
