#pragma once

#include "engine/CopyEngine.h"
#include "engine/PosixRunContext.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstddef>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace drovanta::engine::posix {

class RunShared;

// The files lying directly in a drive's root, copied into a backup run's
// folder ahead of the calls that name them one by one (CopyRun::expectFiles).
// One after the other, each call would wait for its own file's cold read,
// and open and probe again what every file of that folder shares: here the
// source root and the backup folder are opened once, and up to
// Params::workers files are under way, never more than `lookAhead` past the
// file the caller waits for. Each call still gets its own file's result.
class FilesAhead final {
public:
    // Files past the one waited for that may be started.
    static constexpr std::size_t lookAhead = 256;

    // Null when these files cannot be copied ahead (not all in the run's
    // source root and backup folder, or the root cannot be opened): each
    // call then copies its file when it comes.
    [[nodiscard]] static std::unique_ptr<FilesAhead> start(RunShared &shared, const std::vector<Params> &files,
                                                           ProgressSink &progress, const std::atomic<bool> &stop);
    FilesAhead(const FilesAhead &) = delete;
    FilesAhead &operator=(const FilesAhead &) = delete;
    ~FilesAhead();

    // Whether `params` names one of the files, not yet handed back.
    [[nodiscard]] bool holds(const Params &params) const;
    // The result of that file's copy, once it is done (started now when no
    // worker has come to it yet).
    [[nodiscard]] Result claim(const Params &params);
    // Starts nothing more, waits for the files under way, and gives what was
    // done for files that were never claimed (the caller stopped asking: a
    // stop, or a failed destination).
    [[nodiscard]] Result settle();

private:
    struct Slot {
        std::string name;
        std::string source;
        Result result;
        bool claimed = false;
        bool clash = false;   // its name differs only in case from one already in the backup folder
        bool nameFree = true; // the backup folder holds nothing of this name
        unsigned char type = 0; // as the root's listing gives it (DT_UNKNOWN when not listed)
    };
    enum State : int { Waiting, Busy, Done };

    FilesAhead(RunShared &shared, const Params &params, ProgressSink &progress, const std::atomic<bool> &stop);
    void work();
    // Copies the slot's file unless another thread has taken it.
    void take(std::size_t index);
    void copy(Slot &slot);

    // The bytes of a file copied ahead count once the caller comes to it:
    // until then the progress names an earlier file, and its share of the
    // bytes must not run past that file's.
    class HeldProgress final : public ProgressSink {
    public:
        HeldProgress(FilesAhead &ahead, ProgressSink &progress) : m_ahead(ahead), m_progress(progress) {}
        void fileCopied(const std::string &sourcePath, std::uint64_t bytes) override;
        // Passes on what the file in `index` has held back so far.
        void release(std::size_t index);

    private:
        FilesAhead &m_ahead;
        ProgressSink &m_progress;
    };

    RunShared &m_shared;
    const Params m_params;
    HeldProgress m_progress;
    RunContext m_run;
    std::unique_ptr<Folder> m_freshNames;
    std::unique_ptr<Folder> m_takenNames;
    std::vector<Slot> m_slots;
    std::unordered_map<std::string, std::size_t> m_bySource;
    // Handing a file over takes no lock: a thread sleeps (and is woken under
    // the mutex) only when it has to wait, so that 16 workers do not contend
    // per file.
    std::unique_ptr<std::atomic<int>[]> m_states; // a State per slot
    std::unique_ptr<std::atomic<std::uint64_t>[]> m_heldBytes; // per slot, by HeldProgress
    std::atomic<std::size_t> m_next{0};           // the next slot for a worker
    std::atomic<std::size_t> m_waitedFor{0};      // one past the slot the caller asked for last
    std::atomic<std::size_t> m_waiting{SIZE_MAX}; // the slot the caller sleeps on
    std::atomic<std::size_t> m_roomWaiters{0};    // workers sleeping lookAhead past it
    std::atomic<bool> m_closing{false};
    std::mutex m_sleep;
    std::condition_variable m_done;
    std::condition_variable m_room;
    std::atomic<std::int64_t> m_lastGoneCheckNs{0};
    std::vector<std::thread> m_workers;
};

} // namespace drovanta::engine::posix
