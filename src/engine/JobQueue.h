#pragma once

#include "engine/CopyEngine.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace drovanta::engine {

// A queue between one producer (the walk) and the workers. Its bound keeps
// memory flat however many entries the tree holds: the walk waits while the
// workers are behind.
template<typename Job>
class JobQueue final {
public:
    explicit JobQueue(std::size_t capacity) : m_capacity(capacity) {}

    void push(Job job)
    {
        std::unique_lock lock(m_mutex);
        m_notFull.wait(lock, [this] { return m_jobs.size() < m_capacity; });
        m_jobs.push_back(std::move(job));
        const std::size_t unserved = unservedLocked();
        lock.unlock();
        m_notEmpty.notify_one();
        if (unserved > 0 && m_more)
            m_more(unserved);
    }

    // Moves all of `jobs` in at once, waking the workers once for all of
    // them: handing jobs over one by one costs a wake-up (two system calls)
    // each when the workers are quicker than the walk, as on a rerun.
    void pushAll(std::vector<Job> &jobs)
    {
        if (jobs.empty())
            return;
        std::unique_lock lock(m_mutex);
        m_notFull.wait(lock, [this] { return m_jobs.size() < m_capacity; });
        for (auto &job : jobs)
            m_jobs.push_back(std::move(job));
        const std::size_t awake = m_workers > m_idle ? m_workers - m_idle : 0;
        const std::size_t useful = usefulWorkers();
        std::size_t wake = std::min(jobs.size(), m_idle);
        if (useful != 0)
            wake = std::min(wake, useful > awake ? useful - awake : std::size_t{awake == 0});
        const std::size_t unserved = useful == 0 || m_workers < useful ? unservedLocked() : 0;
        lock.unlock();
        jobs.clear();
        // As many waiting workers as there are new jobs, not all of them.
        for (std::size_t i = 0; i < wake; ++i)
            m_notEmpty.notify_one();
        if (unserved > 0 && m_more)
            m_more(unserved);
    }

    // A worker tells how long its last job took. Jobs that wait on nothing
    // (a rerun's checks of unchanged files, with the tree in the cache) are
    // done faster than a sleeping worker can be woken: more workers than
    // cores then only add wake-ups and switches between threads (measured
    // on a 2-core machine, a warm rerun of /usr/share took 0.41-0.56 s with
    // one worker, 0.59-0.60 s with 16). Jobs that wait on a drive keep
    // every worker busy as before.
    void jobTook(std::chrono::steady_clock::duration took)
    {
        const auto ns = static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(took).count());
        const std::uint64_t before = m_jobNs.load(std::memory_order_relaxed);
        // A running mean over the last few jobs: one slow job does not count for much.
        m_jobNs.store(before == 0 ? ns + 1 : before - before / 8 + ns / 8, std::memory_order_relaxed);
    }

    // One more worker takes jobs from this queue.
    void workerStarted()
    {
        std::lock_guard lock(m_mutex);
        ++m_workers;
    }

    // Called by the pushing thread with the number of queued jobs that no
    // waiting worker will take, so that it can start more workers.
    void onUnserved(std::function<void(std::size_t)> more) { m_more = std::move(more); }

    // Waits for a job; empty once the queue is closed and drained.
    std::optional<Job> pop()
    {
        std::unique_lock lock(m_mutex);
        ++m_idle;
        m_notEmpty.wait(lock, [this] { return !m_jobs.empty() || m_closed; });
        --m_idle;
        if (m_jobs.empty())
            return std::nullopt;
        Job job = std::move(m_jobs.front());
        m_jobs.pop_front();
        lock.unlock();
        m_notFull.notify_one();
        return job;
    }

    // No more jobs will come.
    void close()
    {
        {
            std::lock_guard lock(m_mutex);
            m_closed = true;
        }
        m_notEmpty.notify_all();
    }

private:
    std::size_t unservedLocked() const { return m_jobs.size() > m_idle ? m_jobs.size() - m_idle : 0; }

    // How many workers the jobs keep usefully busy: the cores, when jobs
    // have been quick so far; 0 for no limit (slow jobs, or none reported).
    std::size_t usefulWorkers() const
    {
        constexpr std::uint64_t quickJobNs = 50'000;
        const std::uint64_t each = m_jobNs.load(std::memory_order_relaxed);
        if (each == 0 || each > quickJobNs)
            return 0;
        return std::max(1u, std::thread::hardware_concurrency());
    }

    std::mutex m_mutex;
    std::condition_variable m_notEmpty;
    std::condition_variable m_notFull;
    std::deque<Job> m_jobs;
    std::size_t m_capacity;
    std::size_t m_idle = 0; // workers waiting for a job
    bool m_closed = false;
    std::size_t m_workers = 0; // started by runWithWorkers
    std::atomic<std::uint64_t> m_jobNs{0}; // a job's recent time, 0 before any is reported
    std::function<void(std::size_t)> m_more;
};

// Runs one walk of a tree with up to `wanted` workers (at least one)
// draining `queue`, each with a Result of its own: runs `walk(firstWorker)`
// on the calling thread, which alone pushes to `queue`, then closes the
// queue, waits for the workers and returns their results added up. The walk
// calls `firstWorker()` before it queues its first job: it starts the first
// worker and returns false when no worker thread could be started, and the
// walk must then copy what it finds itself instead of queuing it. More
// workers start as the walk queues jobs that no waiting worker takes (a
// small tree, or a rerun whose jobs are quick, needs few threads; one whose
// items are all unchanged and checked by the walk needs none). Whatever
// throws, in the walk or in a worker, every worker is joined before the
// first exception goes on to the caller.
template<typename Job, typename Work, typename Walk>
Result runWithWorkers(JobQueue<Job> &queue, unsigned wanted, Work work, Walk walk)
{
    wanted = std::max(1u, wanted);
    std::vector<Result> results(wanted);
    std::vector<std::exception_ptr> failures(wanted);
    std::vector<std::thread> workers;
    workers.reserve(wanted);
    const auto start = [&](std::size_t more) {
        try {
            for (; more > 0 && workers.size() < wanted; --more) {
                const std::size_t i = workers.size();
                queue.workerStarted();
                workers.emplace_back([&queue, &work, &results, &failures, i] {
                    try {
                        work(results[i]);
                    } catch (...) {
                        failures[i] = std::current_exception();
                        // Keep taking jobs, so that the walk never waits on
                        // a full queue that nobody empties.
                        while (queue.pop()) {
                        }
                    }
                });
            }
        } catch (const std::exception &) {
            // Fewer threads than asked for; with none, the walk copies alone.
        }
    };
    const auto firstWorker = [&] {
        if (workers.empty())
            start(1);
        return !workers.empty();
    };
    // One more at a time: a rerun's quick jobs are soon taken by the workers
    // there are, while files that wait on a cold drive pile up and call more.
    queue.onUnserved([&start](std::size_t) { start(1); });
    std::exception_ptr walkFailure;
    try {
        walk(firstWorker);
    } catch (...) {
        walkFailure = std::current_exception();
    }
    queue.close();
    for (auto &worker : workers)
        worker.join();
    if (walkFailure)
        std::rethrow_exception(walkFailure);
    for (const auto &failure : failures) {
        if (failure)
            std::rethrow_exception(failure);
    }
    Result total;
    for (const auto &result : results)
        total.merge(result);
    return total;
}

} // namespace drovanta::engine
