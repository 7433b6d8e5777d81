#pragma once

#include <filesystem>
#include <string>

namespace drovanta::platform {

// How the mount tables and udev's properties are read: through libmount and
// libudev where the build has them (the program's own readers otherwise), or
// by the program's own readers alone.
enum class TableReaders { SystemLibraries, OwnReaders };

// Where the kernel, udev and userspace publish what the drives are read from;
// tests point them at fixtures.
struct LinuxSystemPaths {
    std::filesystem::path mountInfo = "/proc/self/mountinfo";
    std::filesystem::path sysfs = "/sys";
    // udev's links by-label and by-uuid.
    std::filesystem::path diskLinks = "/dev/disk";
    // libudev knows only the running system's database: it serves when this
    // and sysfs are the system's own, and the files here are read otherwise.
    std::filesystem::path udevData = "/run/udev/data";
    std::filesystem::path fstab = "/etc/fstab";
    // The own reader's; libmount reads its own ($LIBMOUNT_UTAB, else this).
    std::filesystem::path utab = "/run/mount/utab";
    // The user's home folder; from HOME when empty.
    std::string home;
    TableReaders readers = TableReaders::SystemLibraries;
};

} // namespace drovanta::platform
