#pragma once

#include "platform/DriveSource.h"

#include <filesystem>
#include <string>

namespace drovanta::platform {

// Where the kernel, udev and userspace publish what the drives are read from;
// tests point them at fixtures.
struct LinuxSystemPaths {
    std::filesystem::path mountInfo = "/proc/self/mountinfo";
    std::filesystem::path sysfs = "/sys";
    // udev's links by-label and by-uuid.
    std::filesystem::path diskLinks = "/dev/disk";
    std::filesystem::path udevData = "/run/udev/data";
    std::filesystem::path fstab = "/etc/fstab";
    std::filesystem::path utab = "/run/mount/utab";
    // The user's home folder; from HOME when empty.
    std::string home;
};

// The mounted filesystems a desktop shows as drives; the mount point stands
// for the drive letter.
class LinuxDriveSource final : public DriveSource {
public:
    explicit LinuxDriveSource(LinuxSystemPaths paths = {});

    // Throws drovanta::Failure when the mount table cannot be read.
    std::vector<std::unique_ptr<Drive>> drives() const override;
    bool stillMounted(const std::string &letter, const std::string &mount) const override;
    bool awaitsMount(const std::string &folder) const override;

private:
    LinuxSystemPaths m_paths;
};

} // namespace drovanta::platform
