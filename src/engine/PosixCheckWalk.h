#pragma once

// The read-only walks of the checks (compare, fingerprint, restore plan):
// folders listed with what each entry is, never followed through a link, and
// a small pool that reads files while the walk goes on.
#include "engine/PosixSupport.h"

#include <sys/stat.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace drovanta::engine::posix {

struct ListedEntry {
    std::string name;
    struct stat info {};
};

// The entries of folder `folderFd` by name, with their lstat information;
// entries that vanish while listed are left out. Fails as "list folder".
[[nodiscard]] Error listEntries(int folderFd, std::vector<ListedEntry> &entries);

// Opens `name` in `folderFd` as a folder without following a link; invalid
// when it is not one (errno says why).
[[nodiscard]] UniqueFd openSubFolder(int folderFd, const std::string &name);

// Opens regular file `name` in `folderFd` for reading, without following a
// link and without touching its access time where the system lets us.
[[nodiscard]] Opened openForReading(int folderFd, const std::string &name);

// "a/b" from "a" and "b"; the name alone at the top.
[[nodiscard]] std::string relativePath(const std::string &folder, const std::string &name);

// Folders held open by the jobs of files inside them.
struct OpenFolders {
    UniqueFd first;
    UniqueFd second;
};

// Files handed from the walk to a few readers. Bounded, so that the walk
// (and the folders its jobs hold open) stays a little ahead of the reads.
template<typename Job>
class ReadPool final {
public:
    ReadPool(unsigned workers, std::function<void(Job &)> read) : m_read(std::move(read))
    {
        for (unsigned i = 0; i < std::max(1u, workers); ++i)
            m_threads.emplace_back([this] { work(); });
    }
    ~ReadPool() { finish(); }
    ReadPool(const ReadPool &) = delete;
    ReadPool &operator=(const ReadPool &) = delete;

    void push(Job job)
    {
        std::unique_lock lock(m_mutex);
        m_notFull.wait(lock, [this] { return m_jobs.size() < capacity; });
        m_jobs.push_back(std::move(job));
        lock.unlock();
        m_notEmpty.notify_one();
    }

    // Waits until every job is read.
    void finish()
    {
        {
            std::lock_guard lock(m_mutex);
            m_closed = true;
        }
        m_notEmpty.notify_all();
        for (auto &thread : m_threads)
            if (thread.joinable())
                thread.join();
    }

private:
    static constexpr std::size_t capacity = 256;

    void work()
    {
        for (;;) {
            std::unique_lock lock(m_mutex);
            m_notEmpty.wait(lock, [this] { return !m_jobs.empty() || m_closed; });
            if (m_jobs.empty())
                return;
            Job job = std::move(m_jobs.front());
            m_jobs.pop_front();
            lock.unlock();
            m_notFull.notify_one();
            m_read(job);
        }
    }

    std::function<void(Job &)> m_read;
    std::mutex m_mutex;
    std::condition_variable m_notEmpty;
    std::condition_variable m_notFull;
    std::deque<Job> m_jobs;
    bool m_closed = false;
    std::vector<std::thread> m_threads;
};

} // namespace drovanta::engine::posix
