#pragma once

#include "platform/OwnedHandle.h"

#include <memory>
#include <string>

namespace drovanta::platform {

// The system's lock on a backup folder: a write lock on an open file
// description (F_OFD_SETLK) of the file "<name>.lock" in the bookkeeping
// folder beside it. A write lock needs the file opened for writing, and the
// file is the user's alone (0600): whoever may only read the backups cannot
// hold it and so cannot keep a run out, as a lock on the folder itself
// (which any reader can open) would let them. The lock file lies outside
// the backup folder, so no copy, comparison or restore ever meets it.
//
// Takes the lock on the folder open as `folder`, whose path is `path`;
// returns what releases it when destroyed, or nullptr when another holds
// it. Nothing on the way is reached through a link. Throws Failure when the
// lock file cannot be made or is not a plain file.
std::shared_ptr<void> takeBackupLock(const std::string &path, std::shared_ptr<OwnedFd> folder);

} // namespace drovanta::platform
