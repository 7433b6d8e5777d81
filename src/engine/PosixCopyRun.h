#pragma once

#include "engine/CopyEngine.h"
#include "engine/PosixDestination.h"
#include "engine/PosixHardLinks.h"
#include "engine/PosixSupport.h"

#include <sys/types.h>

#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace drovanta::engine::posix {

// What the calls of one backup run share (CopyEngine::beginRun): the backup
// folder and the earlier backup opened once, the destination's probe, the
// files with several names, and what the run has learnt of the backup
// folder's own names. The calls of a run come one after the other.
class RunShared final {
public:
    explicit RunShared(const RunPlaces &places);
    RunShared(const RunShared &) = delete;
    RunShared &operator=(const RunShared &) = delete;

    // Why the backup folder could not be opened; empty when it is open.
    [[nodiscard]] const Error &openError() const { return m_openError; }
    [[nodiscard]] int backupFolder() const { return m_backupFolder.get(); }
    // The earlier backup folder, or -1: nothing to share with.
    [[nodiscard]] int previousFolder() const { return m_previousFolder.get(); }
    [[nodiscard]] const std::string &backupPath() const { return m_backupPath; }
    HardLinks hardLinks;

    // What the backup folder's filesystem keeps, probed at the first call.
    [[nodiscard]] const Destination &destination(bool asRoot);
    // Whether the backup folder the run holds open is no longer the one its
    // path names: the drive was unmounted or pulled (its mount point now
    // shows the disk beneath), or the folder was removed or replaced.
    [[nodiscard]] bool gone() const;
    // The first call that reaches the backup folder sweeps what an
    // interrupted run left there (see removeLeftovers): temporary files, and
    // top-level folders it was still making. Later calls do not list it again.
    // `sourceRootFd`: the drive's root, whose own items are never taken for
    // leftovers.
    void sweepLeftovers(int sourceRootFd);
    // On a destination that folds case: whether `name`, about to be copied
    // into the backup folder, differs only in case from an item already
    // there. The folder is listed once per run; each name checked is then
    // one of its items.
    [[nodiscard]] bool clashesInBackupFolder(const std::string &name);
    // The source root `root` names, opened once for every call of the run
    // (-1 with errno set when it cannot be opened).
    [[nodiscard]] int sourceRoot(const std::string &root);
    // The process's file mode creation mask, read once for the run.
    const int umask;

private:
    Error m_openError;
    UniqueFd m_backupFolder;
    UniqueFd m_previousFolder;
    std::string m_backupPath;
    dev_t m_device = 0;
    ino_t m_inode = 0;
    bool m_probed = false;
    Destination m_destination;
    bool m_swept = false;
    bool m_namesListed = false;
    std::unordered_map<std::string, std::vector<std::string>> m_namesByFold;
    std::string m_sourceRootPath;
    UniqueFd m_sourceRoot;
};

} // namespace drovanta::engine::posix
