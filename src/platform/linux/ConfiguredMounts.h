#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace drovanta::platform {

// A mount as /etc/fstab configures it, with the options the kernel never
// sees (x-gvfs-hide, noauto ...).
struct ConfiguredMount {
    std::string mountPoint;
    std::string fsType;
    std::string options;
};

// /etc/fstab: "device mount-point type options dump pass", blanks between,
// '#' starts a comment, path fields escaped as in the mount table.
std::vector<ConfiguredMount> parseFstab(std::string_view text);

// The file's mounts; empty when the file is missing or unreadable (there is
// nothing configured then).
std::vector<ConfiguredMount> readFstab(const std::filesystem::path &path);

} // namespace drovanta::platform
