#pragma once

#include "backup/engine/PosixRunContext.h"

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

} // namespace drovanta::engine::posix
