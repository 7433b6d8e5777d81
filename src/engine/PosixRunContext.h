#pragma once

#include "engine/CopyEngine.h"
#include "engine/PosixDataTransfer.h"
#include "engine/PosixDestination.h"
#include "engine/PosixHardLinks.h"
#include "engine/PosixSupport.h"
#include "engine/RunState.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace drovanta::engine::posix {

// What every thread of one copy run shares.
class RunContext final : public RunState {
public:
    // `hardLinks` holds the files with several names seen so far: the
    // call's own, or its backup run's across every item of the run.
    // `destinationGone`: see RunState.
    // `umask`: the process's file mode creation mask when the caller has read
    // it already (a backup run reads it once for all its calls).
    RunContext(const Params &params, ProgressSink &progress, const std::atomic<bool> &stop, HardLinks &hardLinks,
               std::function<bool()> destinationGone = {}, std::optional<int> umask = std::nullopt);

    const Params &params;
    ProgressSink &progress;
    TransferMethods methods;
    std::int64_t granularityNs = 1;
    bool asRoot = false;
    uid_t uid = 0;
    gid_t gid = 0;
    // The process's file mode creation mask, or -1 when it cannot be read
    // without changing it.
    int umask = -1;
    std::atomic<bool> noAtimeRefused{false};
    Destination destination; // learnt once the target folder is open
    HardLinks &hardLinks;
    // While a backup run makes a top-level folder under a temporary name
    // (see copyTree): its path under its own name, and under the temporary
    // one. Paths the run records and reports name items under their own
    // names; whereNow() gives the path that reaches one meanwhile.
    std::string hiddenFor;
    std::string hiddenAs;

    // Whether the items of this call are made inside such a folder: nobody
    // sees them under their own names until the folder is complete.
    [[nodiscard]] bool inHidden() const { return !hiddenAs.empty(); }
    [[nodiscard]] std::string whereNow(const std::string &path) const;

    // Records a failed step in `into`. A fatal error on the target side
    // halts the run and becomes the destination failure instead (see
    // RunState::record).
    void fail(Result &into, const std::string &path, Error error, bool targetSide);
    // Stops the run on the destination's account whatever the error.
    void failDestination(const std::string &path, Error error);
    // Records a failed step whose reason is given in plain words.
    void failWithReason(Result &into, const std::string &path, Error error, std::string_view reason);

    // Moves the destination failure and the notes into `into`.
    void collect(Result &into) { RunState::collect(into, destination.filesystem); }

private:
    // The plain reason for a target-side error that comes from a limit of the
    // destination's filesystem, or the system's text.
    std::string reasonFor(const std::string &path, int code) const;
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

// A source folder and its copy, shared by the walk that lists it and every
// entry of it handed to the workers; letting go of it only closes its
// descriptors. The walk holds it while it lists the folder and each entry
// while it waits or is copied: whoever is done last (itemDone() says who)
// completes it, as everything inside has then been written.
class Folder final {
public:
    // A folder whose copy may hold anything: the copy is looked at for
    // what new items in it get from it (a default access control list,
    // names that fold case).
    Folder(RunContext &run, UniqueFd source, UniqueFd target, std::shared_ptr<FolderPath> path,
           const struct stat &sourceInfo, bool fresh);
    // A folder whose copy this run has just made in `madeIn`'s copy: it is
    // on the same device and new items in it get what they would get in
    // `madeIn`'s.
    Folder(RunContext &run, UniqueFd source, UniqueFd target, std::shared_ptr<FolderPath> path,
           const struct stat &sourceInfo, const Folder &madeIn);
    Folder(const Folder &) = delete;
    Folder &operator=(const Folder &) = delete;
    ~Folder();

    [[nodiscard]] int sourceFd() const { return m_source.get(); }
    [[nodiscard]] int targetFd() const { return m_target.get(); }
    // The same folder in the earlier backup, or -1: nothing to share below.
    [[nodiscard]] int previousFd() const { return m_previous.get(); }
    // Takes the earlier backup's folder, kept only when it lies on the
    // copy's filesystem (a second name cannot be given across two).
    void setPrevious(UniqueFd previous);
    [[nodiscard]] std::string sourcePath() const { return m_path->source(); }
    [[nodiscard]] std::string targetPath() const { return m_path->target(); }
    [[nodiscard]] const std::shared_ptr<FolderPath> &path() const { return m_path; }
    [[nodiscard]] const struct stat &sourceInfo() const { return m_sourceInfo; }
    [[nodiscard]] dev_t targetDevice() const { return m_targetDevice; }
    // Created by this run: nothing inside can be there already.
    [[nodiscard]] bool fresh() const { return m_fresh; }
    // New items in the copy get an access control list from the folder's
    // default one, which items without their own must not keep.
    [[nodiscard]] bool inheritsAcls() const { return m_inheritsAcls; }
    // Names in the copy that differ only in case are one item.
    [[nodiscard]] bool foldsCase() const { return m_foldsCase; }

    // `count` more entries of this folder are handed to the workers.
    void itemsQueued(std::size_t count) { m_unfinished.fetch_add(count, std::memory_order_relaxed); }
    // An entry handed over is done, or the walk is done listing: true for
    // the last of them, which then calls complete(). A folder the walk lets
    // go of before that (a deep tree, or a stopped run) is never completed
    // through this one; the walk completes the one it opens again.
    [[nodiscard]] bool itemDone() { return m_unfinished.fetch_sub(1, std::memory_order_acq_rel) == 1; }
    // Gives the copy the folder's owner, mode and times now that everything
    // inside is in place (writing into the folder changes its times). A
    // failure goes to `into`; after a destination failure nothing is set.
    void complete(Result &into);

private:
    RunContext &m_run;
    UniqueFd m_source;
    UniqueFd m_target;
    UniqueFd m_previous;
    std::shared_ptr<FolderPath> m_path;
    struct stat m_sourceInfo;
    dev_t m_targetDevice = 0;
    ino_t m_targetInode = 0; // 0 for a copy made just now
    bool m_fresh;
    std::atomic<std::size_t> m_unfinished{1}; // the walk's listing and the entries handed over
    bool m_inheritsAcls = false;
    bool m_foldsCase = false;
};

// The process's file mode creation mask, read without changing it (from
// /proc), or -1 when it cannot be.
[[nodiscard]] int readUmask();

// Gives a copied folder the source folder's owner (as root), mode,
// extended attributes (from `sourceFd`, when not -1) and times; what the
// destination cannot keep becomes a note. A copy that was there before
// (`fresh` false) and has them all already is left alone. Fails only when
// the destination itself is failing, naming the failing step.
[[nodiscard]] Error applyFolderMetadata(RunContext &run, int sourceFd, int targetFd, const struct stat &source,
                                        bool inheritsAcls, bool fresh = false);

// Removes temporary files that an interrupted run left in target folder
// `targetFd`: items with the temporary form whose name the source folder
// `sourceFd` does not hold (a source item of that name is copied instead).
// In a run's backup folder (`backupPath`), such a folder is a top-level
// folder the run was still making, and it is removed whole.
void removeLeftovers(int targetFd, int sourceFd, const std::string *backupPath = nullptr);

} // namespace drovanta::engine::posix
