#pragma once

#include "platform/linux/MountInfo.h"

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace drovanta::platform {

// One line of libmount's /run/mount/utab: a mount as userspace recorded it,
// with the options the kernel never sees (x-gvfs-hide ...).
struct UtabEntry {
    std::string source;
    std::string target;
    std::string root;
    std::string options;
};

// "KEY=VALUE" fields separated by blanks (SRC, TARGET, ROOT, OPTS ...), path
// fields escaped as in the mount table; unknown keys are skipped.
std::vector<UtabEntry> parseUtab(std::string_view text);

// Empty when the file is missing or unreadable (nothing recorded then).
std::vector<UtabEntry> readUtab(const std::filesystem::path &path);

// Adds each entry's options to the user options of the mount it describes,
// as libmount does: the last mount with the same target, source and root
// that no later entry has claimed.
void addUserOptions(std::vector<MountEntry> &mounts, const std::vector<UtabEntry> &entries);

} // namespace drovanta::platform
