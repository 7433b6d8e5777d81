#pragma once

#include "platform/DriveSource.h"

#include <filesystem>

namespace drovanta::platform {

// The mounted filesystems of the machine as drives; the mount point stands
// for the drive letter. The three paths are where the kernel and udev publish
// what the drives are read from; tests point them at fixtures.
class LinuxDriveSource final : public DriveSource {
public:
    explicit LinuxDriveSource(std::filesystem::path mountInfoFile = "/proc/self/mountinfo",
                              std::filesystem::path sysfsFolder = "/sys",
                              std::filesystem::path byLabelFolder = "/dev/disk/by-label");

    // Throws drovanta::Failure when the mount table cannot be read.
    std::vector<std::unique_ptr<Drive>> drives() const override;

private:
    std::filesystem::path m_mountInfoFile;
    std::filesystem::path m_sysfsFolder;
    std::filesystem::path m_byLabelFolder;
};

} // namespace drovanta::platform
