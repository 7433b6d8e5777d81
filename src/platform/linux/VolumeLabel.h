#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace drovanta::platform {

// udev names its /dev/disk/by-label links with \xHH for every byte it does
// not allow in a file name ("My\x20Disk" is the label "My Disk").
std::string decodeUdevName(std::string_view name);

// The label the filesystem driver reports for the filesystem mounted at
// mountPoint (ext4, xfs, btrfs, f2fs ...). Empty when the driver cannot say,
// or the filesystem has no label.
std::string labelFromFilesystem(const std::filesystem::path &mountPoint);

// The label of the device from udev's by-label links: a link matches when it
// names one of deviceNames (kernel names such as "sdb1") or leads to the
// device node with the number device. Empty when no link matches.
std::string labelFromLinks(const std::filesystem::path &byLabelFolder, const std::vector<std::string> &deviceNames,
                           dev_t device);

} // namespace drovanta::platform
