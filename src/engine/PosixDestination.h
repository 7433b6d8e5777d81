#pragma once

#include "engine/PosixNewFile.h"

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace drovanta::engine::posix {

// What the filesystem that receives a run can keep, learnt from its type and
// from a probe file in the target folder, so that each file needs no failing
// call to find out.
struct Destination {
    std::string filesystem;      // "exFAT", "FAT32", "NTFS", "ext4"...; empty when unknown
    bool foldsCase = false;      // "Readme" and "README" name the same item
    bool mayFoldFolders = false; // single folders can fold case (ext4, f2fs, tmpfs casefold)
    bool keepsModes = true;      // permissions set are permissions kept
    bool keepsOwners = true;     // as root: owners set are owners kept
    bool holdsAttributes = true; // extended attributes in the user namespace
    bool inheritsAcls = false;   // the target folder hands a default ACL to new items
    std::uint64_t largestFile = 0; // bytes; 0 when the filesystem sets no lower limit than the system
    UnnamedFiles unnamedFiles = UnnamedFiles::Unsupported; // files made without a name, named once complete
};

// Learns the above for the folder `targetFd` (a file is created and removed
// there). `asRoot` says whether owners can be set at all. A backup run probes
// its backup folder once and serves every item from what it learnt.
[[nodiscard]] Destination probeDestination(int targetFd, bool asRoot);

// What the filesystem of folder `folderFd` keeps, told from its type alone,
// with nothing written there: for a measure of what a run would write.
[[nodiscard]] Destination destinationByType(int folderFd);

// Whether the folder `fd` on such a destination folds case, as an ext4
// folder with the casefold flag does.
[[nodiscard]] bool folderFoldsCase(const Destination &destination, int fd);

// `name` folded the way case-insensitive filesystems compare names (Unicode
// simple lowercase of each character; bytes that are not UTF-8 stay as they are).
[[nodiscard]] std::string foldedName(std::string_view name);

// Whether a name is one that Windows' filesystems (FAT, exFAT, NTFS as
// Windows uses it) refuse: one of "*/:<>?\| or a control character, or a
// trailing dot or blank.
[[nodiscard]] bool isRefusedByWindowsFilesystems(std::string_view name);

// Plain reasons for the limits of a destination's filesystem.
[[nodiscard]] std::string tooLargeReason(const Destination &destination);
inline constexpr std::string_view refusedNameReason = "this name is not allowed on this drive's filesystem";
inline constexpr std::string_view changedWhileCopiedReason = "changed while it was copied";

} // namespace drovanta::engine::posix
