#pragma once
// placeholder: the Linux drive source is being written
#include "platform/DriveSource.h"
namespace drovanta::platform {
class LinuxDriveSource final : public DriveSource {
public:
    std::vector<std::unique_ptr<Drive>> drives() const override;
};
}
