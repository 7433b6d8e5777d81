#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace drovanta::platform {

// One line of the kernel's mount table (/proc/<pid>/mountinfo), with the
// octal escapes of the path fields already decoded.
struct MountEntry {
    // The kernel's number of this mount; a new mount gets a new one.
    unsigned id = 0;
    unsigned major = 0;
    unsigned minor = 0;
    // The folder of the filesystem that appears at the mount point; "/" unless
    // this is a bind mount of a sub-folder (or a btrfs subvolume).
    std::string root;
    std::string mountPoint;
    // The options of this mount ("rw,nosuid,relatime").
    std::string options;
    std::string fsType;
    // What was mounted: a device path such as /dev/sdb1, a share such as
    // server:/export, or a pseudo name such as "proc".
    std::string source;
    std::string superOptions;
    // The options only userspace knows of (x-gvfs-hide ...), which libmount
    // records in its utab; the kernel's table has none.
    std::string userOptions;
};

// The fields of one line of a mount table, as blanks (spaces, tabs) part
// them; a blank inside a field is written as an escape.
std::vector<std::string_view> mountFields(std::string_view line);

// The kernel writes space, tab, newline and backslash in path fields as
// \040, \011, \012 and \134; any other backslash is kept as it is.
std::string decodeMountField(std::string_view field);

// True when the comma-separated `options` hold `option` itself ("x-gvfs-hide")
// or with a value ("subvol=/@").
bool hasMountOption(std::string_view options, std::string_view option);

// Lines that do not have the shape the kernel writes are skipped, so one odd
// line cannot hide every drive.
std::vector<MountEntry> parseMountInfo(std::string_view text);

// Throws drovanta::Failure when the file cannot be read.
std::vector<MountEntry> readMountInfo(const std::filesystem::path &path);

} // namespace drovanta::platform
