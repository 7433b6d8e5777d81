#pragma once

#include "engine/CopyEngine.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

namespace drovanta::engine {

inline constexpr std::string_view caseClashReason = "another item differs from it only in upper/lower case";

// What every thread of one copy run shares, on every system: the stop
// request, the destination failure that halts the run, the notes of what the
// destination could not keep, and the folders open now.
class RunState {
public:
    // `destinationGone`, when given, tells whether the backup folder the run
    // holds open is no longer the one its path names (a drive pulled).
    explicit RunState(const std::atomic<bool> &stop, std::function<bool()> destinationGone = {})
        : destinationGone(std::move(destinationGone)), m_stop(stop)
    {
    }
    RunState(const RunState &) = delete;
    RunState &operator=(const RunState &) = delete;
    ~RunState() = default;

    const std::function<bool()> destinationGone;
    // The destination cannot give a file a second name.
    std::atomic<bool> hardLinksRefused{false};
    // The destination gives no file a second name (or none across to the
    // earlier backup): nothing more is shared with it, and the result says so.
    std::atomic<bool> sharingRefused{false};
    // Folders of the run open now (a few descriptors or handles each).
    std::atomic<std::size_t> openFolders{0};

    // No new item should be started: stop raised or destination failed.
    [[nodiscard]] bool cutShort() const
    {
        return m_halted.load(std::memory_order_relaxed) || m_stop.load(std::memory_order_relaxed);
    }
    [[nodiscard]] bool stopRequested() const { return m_stop.load(std::memory_order_relaxed); }
    // The stop request itself, for loops that look at it while they work.
    [[nodiscard]] const std::atomic<bool> &stopFlag() const { return m_stop; }
    [[nodiscard]] bool destinationFailed() const { return m_halted.load(std::memory_order_relaxed); }

    // Records `failure` in `into`. One that `halts` (the destination as a
    // whole failing) halts the run and becomes the destination failure
    // instead; failures that follow it are the same cause and are not
    // listed again.
    void record(Result &into, ItemFailure failure, bool halts);
    // Stops the run on the destination's account with `failure`, unless it
    // has failed already.
    void failDestination(ItemFailure failure);

    // Counts one item of which the destination could not keep `kind`.
    void note(NoteKind kind) { m_notes[static_cast<std::size_t>(kind)].fetch_add(1, std::memory_order_relaxed); }

    // Moves the destination failure, the notes (on the destination's
    // `filesystem`) and the refused sharing into `into`.
    void collect(Result &into, const std::string &filesystem);

private:
    std::array<std::atomic<std::uint64_t>, static_cast<std::size_t>(NoteKind::AlternateStreams) + 1> m_notes{};
    const std::atomic<bool> &m_stop;
    std::atomic<bool> m_halted{false};
    std::mutex m_mutex;
    Result m_shared;
};

} // namespace drovanta::engine
