#pragma once

#include "engine/PosixRunContext.h"

#include <sys/stat.h>

#include <string>

namespace drovanta::engine::posix {

// Makes the FIFO or device node `name` (described by `source`) again in the
// folder's copy, with its owner, permissions and times. Sockets, and device
// nodes when not running as the administrator, are not copied by design. A
// destination that cannot hold such items gets a note, not a failure: they
// carry no data.
void copySpecialFile(RunContext &run, const Folder &folder, const std::string &name, const struct stat &source,
                     Result &result);

} // namespace drovanta::engine::posix
