#pragma once

#include "engine/CopyEngine.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace drovanta::engine {

// The work of one tree copy, shared by its workers, each of which lists
// the folders it takes and adds what it finds. Work comes in batches (the
// entries one listing found in one folder); the batch added last is taken
// from first, its entries in their order, so the tree is copied depth first
// with few folders open at once.
//
// Workers start as there is work for them, up to the number asked for. A
// waiting worker is called only when more entries wait than the workers
// awake will take, and one that is called calls the next if that is still
// so: adding a batch of many entries costs its worker one wake-up at most,
// and a worker that finds work never waits.
template<typename Holder, typename Entry>
class WorkStack final {
public:
    struct Batch {
        Holder holder; // what the entries have in common (their folder)
        std::vector<Entry> entries;
        std::size_t most = 1; // entries one worker takes at a time
        std::size_t next = 0; // the first entry not taken yet
        std::uint64_t id = 0;
    };

    // Where the entries last added from one listing wait, so that the
    // listing's further entries wait behind them, not before them.
    struct Place {
        std::size_t index = 0;
        std::uint64_t id = 0;
    };

    // `process(part, result)` does the entries of `part`, a part of a batch.
    WorkStack(unsigned workers, std::function<void(Batch &, Result &)> process)
        : m_most(std::max(1u, workers)), m_process(std::move(process)), m_results(m_most), m_failures(m_most)
    {
        m_threads.resize(m_most);
    }
    WorkStack(const WorkStack &) = delete;
    WorkStack &operator=(const WorkStack &) = delete;
    ~WorkStack() = default;

    // Runs `first(result)` on the calling thread, which then works with the
    // others until every entry added is done; returns their results added
    // up. Whatever throws, in `first` or in a worker, every worker is
    // joined before the first exception goes on to the caller.
    Result run(const std::function<void(Result &)> &first)
    {
        {
            std::lock_guard lock(m_mutex);
            m_started = 1;
            m_busy = 1;
        }
        try {
            first(m_results[0]);
        } catch (...) {
            abandon(0);
        }
        work(0);
        {
            // Abandoned: the others finish what they are doing first.
            std::unique_lock lock(m_mutex);
            m_done.wait(lock, [this] { return m_busy == 0; });
        }
        for (std::size_t i = 1; i < m_threads.size(); ++i) {
            if (m_threads[i].joinable())
                m_threads[i].join();
        }
        for (const auto &failure : m_failures) {
            if (failure)
                std::rethrow_exception(failure);
        }
        Result total;
        for (const auto &result : m_results)
            total.merge(result);
        return total;
    }

    // Adds a batch; called by a worker while it works. Its entries join
    // those of the batch at `place` while any of them waits (the same
    // listing's, taken in their order), else they wait on top of all
    // others, and `place` says where.
    void push(Batch batch, Place &place)
    {
        if (batch.entries.size() <= batch.next)
            return;
        std::unique_lock lock(m_mutex);
        m_queued += batch.entries.size() - batch.next;
        m_queuedNow.store(m_queued, std::memory_order_relaxed);
        if (place.id != 0 && place.index < m_stack.size() && m_stack[place.index].id == place.id) {
            Batch &waiting = m_stack[place.index];
            const auto from = batch.entries.begin() + static_cast<std::ptrdiff_t>(batch.next);
            waiting.entries.insert(waiting.entries.end(), std::make_move_iterator(from),
                                   std::make_move_iterator(batch.entries.end()));
        } else {
            batch.id = ++m_lastId;
            place = {m_stack.size(), batch.id};
            m_stack.push_back(std::move(batch));
        }
        callLocked(lock);
    }

    // Entries added and not yet taken, as of a moment ago.
    [[nodiscard]] std::size_t queued() const { return m_queuedNow.load(std::memory_order_relaxed); }
    // A worker failed: no more work is taken.
    [[nodiscard]] bool abandoned() const { return m_abandoned.load(std::memory_order_relaxed); }

private:
    void work(std::size_t index)
    {
        Batch part;
        std::unique_lock lock(m_mutex);
        bool busy = index == 0; // the calling thread comes from its first work
        for (;;) {
            if (busy) {
                busy = false;
                if (--m_busy == 0)
                    m_done.notify_all();
            }
            while (m_stack.empty() && !m_finished && !abandoned()) {
                if (m_busy == 0) {
                    m_finished = true; // nobody is left to add more
                    m_wake.notify_all();
                    break;
                }
                ++m_sleeping;
                m_wake.wait(lock, [this] { return m_tokens > 0 || m_finished || abandoned(); });
                if (m_tokens > 0)
                    --m_tokens; // the caller counted this one awake
                else
                    --m_sleeping;
            }
            if (m_stack.empty() || abandoned())
                return;
            take(part);
            ++m_busy;
            busy = true;
            callLocked(lock);
            const auto started = std::chrono::steady_clock::now();
            try {
                m_process(part, m_results[index]);
            } catch (...) {
                abandon(index);
            }
            tookEach((std::chrono::steady_clock::now() - started) / static_cast<long>(part.entries.size()));
            lock.lock();
        }
    }

    // Takes the next entries of the batch on top into `part`.
    void take(Batch &part)
    {
        Batch &top = m_stack.back();
        const std::size_t left = top.entries.size() - top.next;
        const std::size_t awake = std::max<std::size_t>(1, m_started - m_sleeping);
        const std::size_t count = std::min(std::max<std::size_t>(1, top.most), std::max<std::size_t>(1, left / awake));
        if (count == left && top.next == 0) {
            part = std::move(top);
            m_stack.pop_back();
        } else {
            const auto from = top.entries.begin() + static_cast<std::ptrdiff_t>(top.next);
            part.holder = top.holder;
            part.entries.clear();
            part.entries.insert(part.entries.end(), std::make_move_iterator(from),
                                std::make_move_iterator(from + static_cast<std::ptrdiff_t>(count)));
            part.most = top.most;
            top.next += count;
            if (top.next == top.entries.size())
                m_stack.pop_back();
        }
        part.next = 0;
        m_queued -= count;
        m_queuedNow.store(m_queued, std::memory_order_relaxed);
    }

    // Calls one more worker, waking it or starting it, when more entries
    // wait than the workers awake will take: with quick entries, those
    // awake (more workers than cores would only take turns on them); with
    // slow ones (waiting on a drive), those awake and not on an entry.
    // Releases `lock`.
    void callLocked(std::unique_lock<std::mutex> &lock)
    {
        const std::size_t awake = m_started - m_sleeping;
        const bool quick = quickEntries();
        const std::size_t taking = quick ? awake : awake - std::min(awake, m_busy);
        const std::size_t useful = quick ? std::min<std::size_t>(m_most, cores()) : m_most;
        const bool call = m_queued > taking && awake < useful && (m_sleeping > 0 || m_started < m_most);
        bool wake = false;
        std::size_t start = 0;
        if (call && m_sleeping > 0) {
            --m_sleeping;
            ++m_tokens;
            wake = true;
        } else if (call) {
            start = m_started++;
        }
        lock.unlock();
        if (wake)
            m_wake.notify_one();
        if (start == 0)
            return;
        try {
            m_threads[start] = std::thread([this, start] { work(start); });
        } catch (const std::exception &) {
            // Fewer threads than asked for: the others do the work.
            lock.lock();
            --m_started;
            lock.unlock();
        }
    }

    static std::size_t cores() { return std::max(1u, std::thread::hardware_concurrency()); }

    // Whether entries have been quick lately: a rerun's checks of unchanged
    // files, with the tree in the cache.
    [[nodiscard]] bool quickEntries() const
    {
        constexpr std::uint64_t quickEntryNs = 50'000;
        const std::uint64_t each = m_entryNs.load(std::memory_order_relaxed);
        return each != 0 && each <= quickEntryNs;
    }

    // A running mean of what one entry took over the last few parts.
    void tookEach(std::chrono::steady_clock::duration took)
    {
        const auto ns = static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(took).count());
        const std::uint64_t before = m_entryNs.load(std::memory_order_relaxed);
        m_entryNs.store(before == 0 ? ns + 1 : before - before / 8 + ns / 8, std::memory_order_relaxed);
    }

    void abandon(std::size_t index)
    {
        m_failures[index] = std::current_exception();
        std::lock_guard lock(m_mutex);
        m_abandoned.store(true, std::memory_order_relaxed);
        m_wake.notify_all();
    }

    const std::size_t m_most;
    const std::function<void(Batch &, Result &)> m_process;
    std::vector<Result> m_results;
    std::vector<std::exception_ptr> m_failures;
    std::vector<std::thread> m_threads; // [0] stands for the calling thread

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_done;
    std::vector<Batch> m_stack;
    std::size_t m_queued = 0;   // entries in m_stack
    std::size_t m_started = 0;  // workers, the calling thread included
    std::size_t m_sleeping = 0; // waiting and not called yet
    std::size_t m_tokens = 0;   // called and not awake yet
    std::size_t m_busy = 0;     // on entries, and so able to add more
    std::uint64_t m_lastId = 0;
    bool m_finished = false;
    std::atomic<bool> m_abandoned{false};
    std::atomic<std::size_t> m_queuedNow{0};
    std::atomic<std::uint64_t> m_entryNs{0};
};

} // namespace drovanta::engine
