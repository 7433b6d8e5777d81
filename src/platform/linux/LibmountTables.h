#pragma once

#include "platform/linux/ConfiguredMounts.h"
#include "platform/linux/MountInfo.h"

#include <filesystem>
#include <vector>

namespace drovanta::platform {

// The mount tables as libmount reads them (built only where the system has
// libmount), in the shapes of the program's own readers.

// The kernel's mount table at `mountInfo`, with the user options libmount's
// utab ($LIBMOUNT_UTAB, else /run/mount/utab) records for each mount.
// Throws drovanta::Failure when the table cannot be read.
std::vector<MountEntry> libmountMounts(const std::filesystem::path &mountInfo);

// Empty when the file is missing or unreadable.
std::vector<ConfiguredMount> libmountFstab(const std::filesystem::path &fstab);

} // namespace drovanta::platform
