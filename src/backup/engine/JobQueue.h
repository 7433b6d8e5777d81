#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>

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

} // namespace drovanta::engine
