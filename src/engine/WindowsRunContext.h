#pragma once

#include "engine/CopyEngine.h"
#include "engine/RunState.h"
#include "engine/WindowsHardLinks.h"
#include "engine/WindowsSupport.h"

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <string>
#include <string_view>

namespace drovanta::engine::windows {

// What every thread of one copy run shares.
struct RunContext : RunState {
    // `runLinks`: the files with several names of the backup run this call
    // belongs to, across all its items; none: the call's own.
    RunContext(const Params &params, ProgressSink &progress, const std::atomic<bool> &stop,
               HardLinks *runLinks = nullptr)
        : RunState(stop), params(params), progress(progress), hardLinks(runLinks != nullptr ? *runLinks : ownLinks)
    {
    }

    const Params &params;
    ProgressSink &progress;
    bool fatTimes = false;
    std::string filesystem; // of the destination, as the system names it
    HardLinks ownLinks;
    HardLinks &hardLinks;

    // Records a failed step in `into`. A fatal error on the target side
    // halts the run and becomes the destination failure instead (see
    // RunState::record).
    void fail(Result &into, const std::wstring &path, Error error, bool targetSide);
    // Stops the run on the destination's account whatever the error.
    void failDestination(const std::wstring &path, Error error);
    // Records a failed step whose reason is given in plain words.
    void failWithReason(Result &into, const std::wstring &path, Error error, std::string_view reason);

    // A step after the data was written failed: the destination's failure
    // stops the run; anything else is a note, and the item stays.
    void metadataFailed(Result &into, const std::wstring &path, Error error, NoteKind kind);

    // Gives the item behind `handle` the times and kept attributes of
    // `source`. What the destination refuses is a note; false when the
    // destination itself failed.
    bool applyBasicInfo(Result &into, HANDLE handle, const FILE_BASIC_INFO &source, const std::wstring &path);

    // Moves the destination failure and the notes into `into`.
    void collect(Result &into) { RunState::collect(into, filesystem); }
};

// Which file or folder a handle is open on: its volume and its file index.
struct FileId {
    DWORD volume = 0;
    DWORD high = 0;
    DWORD low = 0;

    [[nodiscard]] static FileId of(const BY_HANDLE_FILE_INFORMATION &info)
    {
        return {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
    }
    [[nodiscard]] bool operator==(const FileId &) const = default;
};

// A source folder and its copy, both held open while their items are
// copied, shared by the walk that lists it and every entry of it handed to
// the workers. Whoever is done last (itemDone() says who) completes it: the
// copy gets the folder's times and attributes once everything inside is
// written. The same folder of the earlier backup, when there is one, is held
// too: its files are what the copy may share.
struct Folder {
    Folder(RunContext &run, std::wstring source, std::wstring target)
        : run(run), source(std::move(source)), target(std::move(target))
    {
        run.openFolders.fetch_add(1, std::memory_order_relaxed);
    }
    Folder(const Folder &) = delete;
    Folder &operator=(const Folder &) = delete;
    ~Folder() { run.openFolders.fetch_sub(1, std::memory_order_relaxed); }

    RunContext &run;
    std::wstring source;
    std::wstring target;
    std::wstring previous; // empty: nothing to share below
    Handle sourceHandle;
    Handle targetHandle;
    Handle previousHandle;
    FILE_BASIC_INFO info{};
    FileId sourceId;
    FileId targetId;
    bool created = false; // by this run
    // Completed with the folder's times and attributes (a root keeps its own).
    bool completes = false;
    std::atomic<std::size_t> unfinished{1}; // the walk's listing and the entries handed over

    // Created by this run: nothing inside can be there already.
    [[nodiscard]] bool fresh() const { return created; }
    // Windows' filesystems take names that differ only in case as one, and
    // a case-sensitive source folder can hold both.
    [[nodiscard]] static bool foldsCase() { return true; }
    // Takes the earlier backup's folder `path` when it is a real folder.
    void setPrevious(const std::wstring &path);

    // `count` more entries of this folder are handed to the workers.
    void itemsQueued(std::size_t count) { unfinished.fetch_add(count, std::memory_order_relaxed); }
    // An entry handed over is done, or the walk is done listing: true for
    // the last of them, which then calls complete().
    [[nodiscard]] bool itemDone() { return unfinished.fetch_sub(1, std::memory_order_acq_rel) == 1; }
    // Gives the copy the folder's times and attributes now that everything
    // inside is in place. A failure goes to `into`; after a destination
    // failure nothing is set.
    void complete(Result &into);
};

} // namespace drovanta::engine::windows
