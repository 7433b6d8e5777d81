#pragma once

#include "platform/DriveSource.h"
#include "platform/linux/LinuxSystemPaths.h"

namespace drovanta::platform {

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
