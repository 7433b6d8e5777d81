#pragma once

#include "engine/Checking.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace drovanta::engine {

// What to copy. For copyTree, `source` is a folder and `target` the folder
// that receives its contents (created when missing, merged into when present).
// For copyFile, `source` is one file (or link) and `target` the folder that
// receives it under the same name.
//
// Paths are resolved beneath two roots. `sourceRoot` and `targetRoot` are
// taken as the caller named them (opened once, links followed): the source
// drive's root and the folder that holds the backup folder. Every component
// of `source` below `sourceRoot` and of `target` below `targetRoot` is opened
// relative to its parent and never through a link: a link or file on the way
// fails the operation. Only the last component of `target` is ever created
// (one level); what is in its place that is not a real folder is replaced for
// copyTree (the target lies inside the backup) and refused for copyFile (the
// target is the backup folder itself). Each root must be a leading part of
// its path, compared by whole components, with no ".." below it. An empty
// root stands for the folder that holds `source` or `target`.
struct Params {
    std::string source;
    std::string target;
    std::string sourceRoot;
    std::string targetRoot;
    // The same item in an earlier backup (for copyFile, the earlier backup
    // folder), resolved beneath `targetRoot` exactly like `target`: no link
    // is followed on the way or at the end. A regular file whose size,
    // modification time, permissions, owner and extended attributes equal
    // those of the same relative path there becomes another name of that
    // file instead of a copy; the earlier file is never opened for writing
    // and never changed. Empty, missing or not a real folder: nothing is
    // shared.
    std::string previousTarget;
    // How many files are copied at once. Copying small files from a cold
    // drive is waiting for reads, not computing: measured on a 2-core Linux
    // machine with cold caches, 16 copies in flight finished the small-files
    // corpus sooner than 4 (a minimal copy: 0.36 against 0.42 of cp -a's
    // time), and with nothing to wait for (tmpfs) 16 workers cost no more
    // CPU or time than 4, as the walk wakes them once per batch of files.
    unsigned workers = 16;
    // Leave a target file alone when it is a regular file of the same size and
    // modification time (at the precision the destination keeps).
    bool skipUnchanged = true;
    // The source item lies directly in a drive's root: the system's own
    // bookkeeping items ("System Volume Information", "$RECYCLE.BIN",
    // "lost+found", ".Trash-*", swap and hibernation files) are skipped.
    bool atDriveRoot = false;
    // A restore into a folder the user already has: an existing item that
    // differs from its copy is left as it is and listed in Result::kept
    // instead of being replaced. Needs `skipUnchanged`.
    bool keepExisting = false;
    // The source is a backup (a restore): items with the form of the
    // engine's temporary names are what an interrupted run left in it (a
    // folder it was still making, a file it was still writing) and are not
    // copied.
    bool leavesOutLeftovers = false;
};

// One item that could not be copied.
struct ItemFailure {
    std::string path;      // the source path (or the target path for a target-side failure)
    std::string operation; // what was attempted: "open", "read", "write", "create folder", ...
    std::string reason;    // the system's reason, e.g. "Permission denied", or a plain one
                           // for a limit of the destination's filesystem
    int code = 0;          // errno / GetLastError value
};

// Why an item was left out on purpose.
enum class SkipReason {
    OtherDrive,      // another filesystem is mounted on this folder
    SystemItem,      // the system's own bookkeeping in a drive's root
    Socket,          // exists only while its program runs
    DeviceNode,      // only the administrator can make one
    BackupItself,    // the backup being written lies inside the source
};

struct SkippedItem {
    std::string path; // the source path
    SkipReason reason = SkipReason::SystemItem;
    bool operator==(const SkippedItem &) const = default;
};

// Something the destination could not keep for items whose data was copied:
// the item is there, this part of it is not.
enum class NoteKind {
    OwnersAndPermissions,
    Times,
    ExtendedAttributes,
    AccessControlLists,
    HardLinks,         // later names hold their own copy of the data
    SpecialFiles,      // FIFOs and device nodes that could not be made
    AlternateStreams,  // data streams beyond a file's main one (Windows)
};

struct Note {
    NoteKind kind = NoteKind::OwnersAndPermissions;
    std::string filesystem; // "exFAT", "FAT32", "NTFS"...; empty when unknown
    std::uint64_t items = 0;
    bool operator==(const Note &) const = default;
};

struct Result {
    std::uint64_t folders = 0;   // folders created or merged into
    std::uint64_t files = 0;     // files whose data was copied
    std::uint64_t links = 0;     // symbolic links copied as links
    std::uint64_t bytes = 0;     // bytes of file data copied
    std::uint64_t unchanged = 0; // files left as they were (already the backup of their source)
    std::uint64_t specials = 0;  // FIFOs and device nodes made again
    std::uint64_t shared = 0;    // files that are another name of the earlier backup's file
    // The destination cannot give a file a second name (FAT, exFAT...):
    // files that could have been shared with the earlier backup were copied.
    bool sharingUnavailable = false;
    std::vector<SkippedItem> skipped;      // items not copied by design
    std::vector<ItemFailure> failures;     // items that could not be copied
    std::vector<Note> notes;               // one per kind and filesystem, with its count
    std::vector<std::string> kept;         // target items left as they were (Params::keepExisting)
    // The destination itself failed (no space, read-only, device gone, EIO on
    // the target): the run stopped at once. `destinationFailure` says why.
    bool destinationFailed = false;
    ItemFailure destinationFailure;
    bool stopped = false; // the stop token was raised before everything was copied

    [[nodiscard]] bool ok() const { return failures.empty() && !destinationFailed && !stopped; }
    // Adds another result's counts and lists to this one.
    void merge(const Result &other);
    // Counts `items` more items of `kind` not kept on `filesystem`.
    void addNote(NoteKind kind, const std::string &filesystem, std::uint64_t items = 1);
};

// Receives progress from the engine. Called from the engine's worker threads;
// implementations must be thread-safe and quick.
class ProgressSink {
public:
    // `sourcePath` is empty when namesFiles() is false.
    virtual void fileCopied(const std::string &sourcePath, std::uint64_t bytes)
    {
        (void)sourcePath;
        (void)bytes;
    }
    // Whether fileCopied() is given each file's path. A sink that only
    // counts says no: the engine then makes no path for a file that copies
    // without trouble.
    [[nodiscard]] virtual bool namesFiles() const { return true; }

protected:
    ~ProgressSink() = default;
};

// A sink that ignores everything (tests, callers that need no progress).
class NoProgress final : public ProgressSink {
public:
    [[nodiscard]] bool namesFiles() const override { return false; }
};

// Where one backup run writes: the destination root as the caller named it,
// the backup folder directly in it (made and locked by the caller before the
// run begins), and the latest earlier backup folder there whose unchanged
// files the run shares (empty: none, a full copy).
struct RunPlaces {
    std::string targetRoot;
    std::string backupFolder;
    std::string previousFolder;
};

// The engine's side of one backup run: what every item of the run shares.
// The backup folder is opened once when the run begins and every item is
// created beneath that folder, never found again by path: a drive pulled or
// replaced mid-run fails the destination instead of letting a path lead
// onto whatever lies under the mount point. Files with several names stay
// one file across all items of the run, and the destination is probed once.
// Each call's `params.target` must lie in the backup folder; its
// `targetRoot` and `previousTarget` are the run's, whatever they say.
class CopyRun {
public:
    virtual ~CopyRun() = default;
    [[nodiscard]] virtual Result copyTree(const Params &params, ProgressSink &progress,
                                          const std::atomic<bool> &stop) = 0;
    [[nodiscard]] virtual Result copyFile(const Params &params, ProgressSink &progress,
                                          const std::atomic<bool> &stop) = 0;
    // The files that the next copyFile calls will name, in this order. The
    // run may start on them before those calls come; each call still gives
    // the result of its own file. By default nothing is started early.
    virtual void expectFiles(const std::vector<Params> &files, ProgressSink &progress, const std::atomic<bool> &stop);
    // After the calls for expected files: waits for those still under way
    // and gives what was done ahead for files no call asked for (the caller
    // stopped early). Nothing by default.
    [[nodiscard]] virtual Result settleFiles();
    // Writes everything cached for the backup folder's filesystem to the
    // device; a failure (or a folder that is gone) is the destination's.
    [[nodiscard]] virtual Result sync() = 0;
};

// The engine as its callers hold it, so that tests can put a fake in its place.
// Both operations never print and never show anything; every failure is in
// the Result. `stop` is checked between files: once it is true no new file is
// started, the files under way finish, and Result::stopped is set.
class CopyEngine {
public:
    [[nodiscard]] virtual Result copyTree(const Params &params, ProgressSink &progress,
                                          const std::atomic<bool> &stop) = 0;
    [[nodiscard]] virtual Result copyFile(const Params &params, ProgressSink &progress,
                                          const std::atomic<bool> &stop) = 0;
    // What a backup of the folder `params.source` into the backup folder
    // `params.target` would write, sharing with `params.previousTarget`
    // (empty: a full copy), in bytes: the allocated bytes of each file whose
    // data the copy would write (a file with several names once), plus a
    // block per folder it would make. Measured with the copy's own walk and
    // per-file decisions (up to date, shared with the earlier backup, or
    // written), reading only; what cannot be read counts as empty. Nothing
    // when this engine cannot tell, the source cannot be opened, or `stop`
    // was raised.
    [[nodiscard]] virtual std::optional<std::uint64_t> measure(const Params &params, const std::atomic<bool> &stop);
    // Begins a backup run into `places`. By default each call of the run is
    // one of the calls above, by path; an engine with state of its own per
    // run gives its own.
    [[nodiscard]] virtual std::unique_ptr<CopyRun> beginRun(const RunPlaces &places);
    // How a backup differs from its source, reading both. Unsupported by default.
    [[nodiscard]] virtual Comparison compare(const CompareParams &params, const std::atomic<bool> &stop);
    // What copyTree (a folder) or copyFile (anything else) of `params` would
    // add, replace and, with Params::keepExisting, keep; reading only.
    [[nodiscard]] virtual RestorePlan planRestore(const Params &params, const std::atomic<bool> &stop);
    // The content fingerprints of a backup folder's files.
    [[nodiscard]] virtual Fingerprints fingerprint(const FingerprintParams &params, const std::atomic<bool> &stop);

protected:
    ~CopyEngine() = default;
};

// The engine of this system (POSIX or Win32).
class NativeCopyEngine final : public CopyEngine {
public:
    [[nodiscard]] Result copyTree(const Params &params, ProgressSink &progress,
                                  const std::atomic<bool> &stop) override;
    [[nodiscard]] Result copyFile(const Params &params, ProgressSink &progress,
                                  const std::atomic<bool> &stop) override;
    [[nodiscard]] std::optional<std::uint64_t> measure(const Params &params, const std::atomic<bool> &stop) override;
    [[nodiscard]] std::unique_ptr<CopyRun> beginRun(const RunPlaces &places) override;
    [[nodiscard]] Comparison compare(const CompareParams &params, const std::atomic<bool> &stop) override;
    [[nodiscard]] RestorePlan planRestore(const Params &params, const std::atomic<bool> &stop) override;
    [[nodiscard]] Fingerprints fingerprint(const FingerprintParams &params, const std::atomic<bool> &stop) override;
};

// Writes everything cached for the filesystem that holds `path` to the device
// (syncfs on Linux). Returns false and sets `reason` when that fails.
[[nodiscard]] bool syncFilesystem(const std::string &path, std::string &reason);

} // namespace drovanta::engine
