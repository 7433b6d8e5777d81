#include "platform/linux/LinuxDriveSource.h"
namespace drovanta::platform {
std::vector<std::unique_ptr<Drive>> LinuxDriveSource::drives() const { return {}; }
}
