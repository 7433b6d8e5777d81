#pragma once

#include "backup/engine/CopyEngine.h"
#include "backup/engine/PosixDataTransfer.h"
#include "backup/engine/PosixSupport.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace drovanta::engine::posix {

// What every thread of one copy run shares.
class RunContext final {
public:
    RunContext(const Params &params, ProgressSink &progress, const std::atomic<bool> &stop);

    const Params &params;
    ProgressSink &progress;
    TransferMethods methods;
    std::int64_t granularityNs = 1;
    bool asRoot = false;
    uid_t uid = 0;
    gid_t gid = 0;
    std::atomic<bool> noAtimeRefused{false};

    // No new item should be started: stop raised or destination failed.
    [[nodiscard]] bool cutShort() const
    {
        return m_halted.load(std::memory_order_relaxed) || m_stop.load(std::memory_order_relaxed);
    }
    [[nodiscard]] bool stopRequested() const { return m_stop.load(std::memory_order_relaxed); }
    [[nodiscard]] bool destinationFailed() const { return m_halted.load(std::memory_order_relaxed); }

    // Records a failure in `into`. A fatal error on the target side halts
    // the run and becomes the destination failure instead; failures that
    // follow it are the same cause and are not listed again.
    void fail(Result &into, const std::string &path, const char *operation, int code, bool targetSide);
    // The same, for callers that hold no Result (folder completion).
    void failShared(const std::string &path, const char *operation, int code, bool targetSide);
    // Stops the run on the destination's account whatever the error.
    void failDestination(const std::string &path, const char *operation, int code);

    // Moves the failures recorded through failShared and the destination
    // failure into `into`.
    void collect(Result &into);

private:
    const std::atomic<bool> &m_stop;
    std::atomic<bool> m_halted{false};
    std::mutex m_mutex;
    Result m_shared;
};

// Where a folder of a run lies: its name and the folder that holds it (the
// top holds the source and target paths as given; below it the source and
// its copy share their names). Full paths are made only when a message or a
// progress report asks for one, so entering a folder costs the same at any
// depth.
class FolderPath final {
public:
    FolderPath(std::string source, std::string target);
    FolderPath(std::shared_ptr<FolderPath> parent, std::string name);
    FolderPath(const FolderPath &) = delete;
    FolderPath &operator=(const FolderPath &) = delete;
    ~FolderPath();

    [[nodiscard]] const std::string &name() const { return m_name; }
    [[nodiscard]] std::string source() const { return build(false); }
    [[nodiscard]] std::string target() const { return build(true); }

private:
    [[nodiscard]] std::string build(bool target) const;

    std::shared_ptr<FolderPath> m_parent;
    std::string m_name;   // the source path at the top
    std::string m_target; // at the top only
};

// A source folder and its copy, shared by the walk and every queued item
// inside it. When the last holder lets go, everything inside has been
// written and the copy gets the folder's owner, mode and times.
class Folder final {
public:
    Folder(RunContext &run, DIR *source, int sourceFd, UniqueFd target, std::shared_ptr<FolderPath> path,
           const struct stat &sourceInfo, bool fresh, bool complete);
    Folder(const Folder &) = delete;
    Folder &operator=(const Folder &) = delete;
    ~Folder();

    [[nodiscard]] int sourceFd() const { return m_sourceFd; }
    [[nodiscard]] int targetFd() const { return m_target.get(); }
    [[nodiscard]] DIR *stream() const { return m_stream; }
    [[nodiscard]] std::string sourcePath() const { return m_path->source(); }
    [[nodiscard]] std::string targetPath() const { return m_path->target(); }
    [[nodiscard]] const std::shared_ptr<FolderPath> &path() const { return m_path; }
    [[nodiscard]] const struct stat &sourceInfo() const { return m_sourceInfo; }
    [[nodiscard]] dev_t targetDevice() const { return m_targetDevice; }
    [[nodiscard]] ino_t targetInode() const { return m_targetInode; }
    // Created by this run: nothing inside can be there already.
    [[nodiscard]] bool fresh() const { return m_fresh; }
    // The walk closes this folder before it is complete and opens it again
    // later (a deep tree); the later holder sets the metadata instead.
    void handOverCompletion() { m_complete = false; }

private:
    RunContext &m_run;
    DIR *m_stream;
    int m_sourceFd;
    UniqueFd m_ownedSource; // when opened without a stream
    UniqueFd m_target;
    std::shared_ptr<FolderPath> m_path;
    struct stat m_sourceInfo;
    dev_t m_targetDevice = 0;
    ino_t m_targetInode = 0;
    bool m_fresh;
    bool m_complete;
};

// Gives a copied folder the source folder's owner (as root), mode and times.
// Returns 0 or the errno, with `operation` naming the failing step.
[[nodiscard]] int applyFolderMetadata(const RunContext &run, int targetFd, const struct stat &source,
                                      const char *&operation);

// Removes temporary files that an interrupted run left in target folder
// `targetFd`: items with the temporary form whose name the source folder
// `sourceFd` does not hold (a source item of that name is copied instead).
void removeLeftovers(int targetFd, int sourceFd);

} // namespace drovanta::engine::posix
