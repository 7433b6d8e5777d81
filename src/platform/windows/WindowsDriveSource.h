#pragma once

#include "platform/DriveSource.h"

namespace drovanta::platform {

// The drive letters Windows has assigned, in ascending order, whether or not
// a medium is in the drive.
class WindowsDriveSource final : public DriveSource {
public:
    // Throws drovanta::Failure when Windows cannot list its drives.
    std::vector<std::unique_ptr<Drive>> drives() const override;
    bool stillMounted(const std::string &letter, const std::string &mount) const override;
    bool awaitsMount(const std::string &folder) const override;
};

} // namespace drovanta::platform
