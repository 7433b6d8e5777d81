#pragma once

#include "backup/engine/CopyEngine.h"

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
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
        lock.unlock();
        m_notEmpty.notify_one();
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
        lock.unlock();
        jobs.clear();
        m_notEmpty.notify_all();
    }

    // Waits for a job; empty once the queue is closed and drained.
    std::optional<Job> pop()
    {
        std::unique_lock lock(m_mutex);
        m_notEmpty.wait(lock, [this] { return !m_jobs.empty() || m_closed; });
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
    std::mutex m_mutex;
    std::condition_variable m_notEmpty;
    std::condition_variable m_notFull;
    std::deque<Job> m_jobs;
    std::size_t m_capacity;
    bool m_closed = false;
};

// Runs one walk of a tree with `wanted` workers (at least one) draining
// `queue`: starts the workers, each with a Result of its own, runs
// `walk(alone)` on the calling thread, then closes the queue, waits for the
// workers and returns their results added up. `alone` is true when no
// worker thread could be started: the walk must then copy what it finds
// itself instead of queuing it.
template<typename Job, typename Work, typename Walk>
Result runWithWorkers(JobQueue<Job> &queue, unsigned wanted, Work work, Walk walk)
{
    wanted = std::max(1u, wanted);
    std::vector<Result> results(wanted);
    std::vector<std::thread> workers;
    try {
        for (unsigned i = 0; i < wanted; ++i)
            workers.emplace_back([&work, &results, i] { work(results[i]); });
    } catch (const std::exception &) {
        // Fewer threads than asked for; with none, the walk copies alone.
    }
    walk(workers.empty());
    queue.close();
    for (auto &worker : workers)
        worker.join();
    Result total;
    for (const auto &result : results)
        total.merge(result);
    return total;
}

} // namespace drovanta::engine
