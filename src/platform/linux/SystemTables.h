#pragma once

#include "platform/linux/ConfiguredMounts.h"
#include "platform/linux/LinuxSystemPaths.h"
#include "platform/linux/MountInfo.h"

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace drovanta::platform {

// Whether this build reads through libmount and libudev (found while
// configuring); where it does not, the program's own readers serve.
bool libmountBuiltIn();
bool libudevBuiltIn();

// The tables the drive source reads, by the readers the paths choose.
class SystemTables {
public:
    explicit SystemTables(LinuxSystemPaths paths);

    // The kernel's mount table, each mount with the user options recorded in
    // the utab. Throws drovanta::Failure when the table cannot be read.
    std::vector<MountEntry> mounts() const;
    // /etc/fstab; empty when it is missing or unreadable.
    std::vector<ConfiguredMount> fstab() const;
    // udev's properties of the block device numbered "MAJ:MIN"; empty when
    // udev keeps none (a container without udev).
    std::map<std::string, std::string> udevProperties(std::string_view number) const;

private:
    bool throughLibmount() const;
    bool throughLibudev() const;

    LinuxSystemPaths m_paths;
};

} // namespace drovanta::platform
