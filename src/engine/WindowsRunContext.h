#pragma once

#include "engine/CopyEngine.h"
#include "engine/WindowsHardLinks.h"
#include "engine/WindowsSupport.h"

#include <windows.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_set>

namespace drovanta::engine::windows {

// What every thread of one copy run shares.
struct RunContext {
    // `runLinks`: the files with several names of the backup run this call
    // belongs to, across all its items; none: the call's own.
    RunContext(const Params &params, ProgressSink &progress, const std::atomic<bool> &stop,
               HardLinks *runLinks = nullptr)
        : params(params), progress(progress), stop(stop), hardLinks(runLinks != nullptr ? *runLinks : ownLinks)
    {
    }
    RunContext(const RunContext &) = delete;
    RunContext &operator=(const RunContext &) = delete;

    const Params &params;
    ProgressSink &progress;
    const std::atomic<bool> &stop;
    bool fatTimes = false;
    std::string filesystem; // of the destination, as the system names it
    std::array<std::atomic<std::uint64_t>, static_cast<std::size_t>(NoteKind::AlternateStreams) + 1> notes{};
    std::atomic<bool> halted{false};
    std::mutex mutex;
    Result shared;
    HardLinks ownLinks;
    HardLinks &hardLinks;
    std::atomic<bool> hardLinksRefused{false}; // the destination cannot link (FAT, exFAT)
    // The destination gives no file a second name, or none across to the
    // earlier backup: nothing more is shared with it, and the result says so.
    std::atomic<bool> sharingRefused{false};

    // No new item should be started: stop raised or destination failed.
    [[nodiscard]] bool cutShort() const { return halted.load() || stop.load(); }

    // Counts one item of which the destination could not keep `kind`.
    void note(NoteKind kind) { notes[static_cast<std::size_t>(kind)].fetch_add(1, std::memory_order_relaxed); }

    // Records a failed step in `into`. A fatal error on the target side
    // halts the run and becomes the destination failure instead; failures
    // that follow it are the same cause and are not listed again.
    void fail(Result &into, const std::wstring &path, Error error, bool targetSide);
    // Stops the run on the destination's account whatever the error.
    void failDestination(const std::wstring &path, Error error);

    // A step after the data was written failed: the destination's failure
    // stops the run; anything else is a note, and the item stays.
    void metadataFailed(Result &into, const std::wstring &path, Error error, NoteKind kind);

    // Gives the item behind `handle` the times and kept attributes of
    // `source`. What the destination refuses is a note; false when the
    // destination itself failed.
    bool applyBasicInfo(Result &into, HANDLE handle, const FILE_BASIC_INFO &source, const std::wstring &path);

    // Moves the failures recorded in `shared`, the destination failure and
    // the notes into `into`.
    void collect(Result &into);
};

// A source folder and its copy, both held open while their items are
// copied; the copy gets the folder's times and attributes once everything
// inside is written. The same folder of the earlier backup, when there is
// one, is held too: its files are what the copy may share.
struct Folder {
    Folder(RunContext &run, std::wstring source, std::wstring target)
        : run(run), source(std::move(source)), target(std::move(target))
    {
    }
    Folder(const Folder &) = delete;
    Folder &operator=(const Folder &) = delete;
    ~Folder();

    RunContext &run;
    std::wstring source;
    std::wstring target;
    std::wstring previous; // empty: nothing to share below
    Handle sourceHandle;
    Handle targetHandle;
    Handle previousHandle;
    FILE_BASIC_INFO info{};
    bool fresh = false;
    bool complete = false;
    // Names given in this folder, folded: Windows' filesystems take names
    // that differ only in case as one, and a case-sensitive source folder
    // can hold both (the walk's thread only).
    std::unordered_set<std::wstring> claimed{};

    bool claimName(const std::wstring &name);
    // Takes the earlier backup's folder `path` when it is a real folder.
    void setPrevious(const std::wstring &path);
};

} // namespace drovanta::engine::windows
