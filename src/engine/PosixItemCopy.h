#pragma once

#include "engine/PosixRunContext.h"

#include <string>

namespace drovanta::engine::posix {

// Copies one regular file or symbolic link `name` from the folder's source to
// its target, which gets the real name only once complete (a file without a
// name until then, or one under a temporary name, renamed). `type` is the
// dirent type (DT_UNKNOWN when not known).
// Counts and failures go to `result`.
void copyItem(RunContext &run, const Folder &folder, const std::string &name, unsigned char type, Result &result);
// The same, written under `targetName` in the folder's target.
void copyItemAs(RunContext &run, const Folder &folder, const std::string &name, const std::string &targetName,
                unsigned char type, Result &result);

// The copy's decisions for one regular file `name` of source folder
// `sourceFolderFd`, with `source` its information; the measure of what a run
// would write takes the same ones.
//
// Whether `target`, the same name in the backup folder, already is its
// backup: a regular file of the same size, modification time (at the
// destination's precision), permissions and owner. It is left alone.
[[nodiscard]] bool isUpToDate(const RunContext &run, const struct stat &source, const struct stat &target);
// The same, and `copyName` in folder `copyFolderFd` also has the extended
// attributes and access control lists of `name` in `sourceFolderFd`.
[[nodiscard]] bool isBackupOf(const RunContext &run, int sourceFolderFd, const std::string &name,
                              const struct stat &source, int copyFolderFd, const std::string &copyName,
                              const struct stat &copy);
// Whether `previousName` in the earlier backup folder `previousFd` can be
// shared instead of copied: a regular file on the copy's filesystem
// (`targetDevice`) that is a backup of it as above, and not the source file
// itself (a tampered earlier backup could hold the live file under its name).
[[nodiscard]] bool isShareable(const RunContext &run, int sourceFolderFd, const std::string &name,
                               const struct stat &source, int previousFd, const std::string &previousName,
                               dev_t targetDevice);

} // namespace drovanta::engine::posix
