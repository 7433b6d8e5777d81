#pragma once

// The read-only walks of the checks, one algorithm for every system: how a
// backup differs from its source (CompareWalk.h), the content fingerprints
// of a backup's files (FingerprintWalk.h) and what a restore would do
// (RestorePlanWalk.h). They reach every item through the folder that holds
// it, held open, never through a link, and hand files to a few readers that
// read them while the walk goes on.
//
// A system gives the walks its primitives as a class with:
//
//   Folder, File  a folder and a file held open (movable; Folder default-
//                 constructs invalid and has valid())
//   Entry         what a listing tells of one item, its `name` among it
//   static Error list(const Folder &, std::vector<Entry> &)
//                 the folder's entries sorted by name, "." and ".." left
//                 out; fails as "list folder"
//   static Outcome<Folder> openFolder(const Folder &parent, const std::string &name)
//                 a real folder, never one reached through a link
//   static Outcome<File> openFile(const Folder &, const std::string &name)
//                 for reading from start to end
//   static Outcome<std::size_t> read(File &, char *buffer, std::size_t size)
//                 what one read gave; 0 at the end
//   static EntryKind kindOf(const Entry &)
//   static std::string errorText(int code)
//
// and what each walk needs besides (see there).
#include "engine/EngineError.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace drovanta::engine {

enum class EntryKind { Folder, File, Other };

// "a/b" from "a" and "b"; the name alone at the top. The walks' paths are
// relative and use '/' on every system, as the fingerprint record does.
[[nodiscard]] inline std::string relativePath(const std::string &folder, const std::string &name)
{
    return folder.empty() ? name : folder + "/" + name;
}

// Reads from `file` until `buffer` is full or the file ends: the two sides
// of a comparison then come in the same pieces.
template<typename System>
[[nodiscard]] Outcome<std::size_t> readFully(typename System::File &file, char *buffer, std::size_t size)
{
    std::size_t done = 0;
    while (done < size) {
        const Outcome<std::size_t> read = System::read(file, buffer + done, size - done);
        if (read.failed())
            return read.error;
        if (read.value == 0)
            break;
        done += read.value;
    }
    return done;
}

// An item of a walk by name and by path from the walk's top, with the
// folders that hold it (`Folders`: the folder, and the same folder on the
// other side the walk goes along, held open while the item waits): a
// folder waiting to be listed, or a file waiting for a reader.
template<typename Folders>
struct WalkItem {
    std::shared_ptr<Folders> folders;
    std::string name;
    std::string path;
};

// The folders a walk has found and not listed yet, listed by a few threads
// at once: listing a folder means reading the metadata of each item in it
// on both sides, and done one folder at a time it held a comparison of
// /usr/share up (cold, 6.0 s; 4.4 s with that metadata read beforehand).
// The folder added last is taken first, so that the walk goes depth first
// with few folders open.
template<typename Folders>
class PendingFolders final {
public:
    // Adds a folder to list; any thread may.
    void add(WalkItem<Folders> item)
    {
        std::lock_guard lock(m_mutex);
        m_items.push_back(std::move(item));
        m_changed.notify_one();
    }

    // Lists the folders added, and those their listing adds, with `listers`
    // threads, this one among them. `open(item)` gives the item's folders
    // (null when they cannot be opened, said by `open`); `list(folders,
    // path)` lists them. False when `stop` ended the walk before its end.
    // What `open` or `list` throw reaches the caller once every lister is
    // back.
    template<typename Open, typename List>
    [[nodiscard]] bool run(unsigned listers, const std::atomic<bool> &stop, Open &&open, List &&list)
    {
        const auto work = [&] {
            try {
                listUntilDone(stop, open, list);
            } catch (...) {
                std::lock_guard lock(m_mutex);
                if (!m_failure)
                    m_failure = std::current_exception();
                m_ended = true;
                m_changed.notify_all();
            }
        };
        std::vector<std::thread> threads;
        try {
            for (unsigned i = 1; i < listers; ++i)
                threads.emplace_back(work);
        } catch (const std::system_error &) {
            // Fewer listers than asked for.
        }
        work();
        for (std::thread &thread : threads)
            thread.join();
        if (m_failure)
            std::rethrow_exception(m_failure);
        return !m_stopped;
    }

private:
    template<typename Open, typename List>
    void listUntilDone(const std::atomic<bool> &stop, Open &open, List &list)
    {
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_changed.wait(lock, [this] { return m_ended || !m_items.empty() || m_busy == 0; });
            if (!m_ended && stop.load())
                m_stopped = m_ended = true;
            if (m_ended || m_items.empty()) { // ended, or nothing left and no one listing
                m_changed.notify_all();
                return;
            }
            WalkItem<Folders> next = std::move(m_items.back());
            m_items.pop_back();
            ++m_busy;
            lock.unlock();
            {
                struct Done {
                    PendingFolders &pending;
                    std::unique_lock<std::mutex> &lock;
                    ~Done()
                    {
                        lock.lock();
                        if (--pending.m_busy == 0)
                            pending.m_changed.notify_all();
                    }
                } done{*this, lock};
                std::shared_ptr<Folders> folders = open(next);
                next.folders.reset();
                if (folders)
                    list(folders, next.path);
            }
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<WalkItem<Folders>> m_items;
    unsigned m_busy = 0;
    bool m_ended = false;
    bool m_stopped = false;
    std::exception_ptr m_failure;
};

// The size of the pieces the walks read files in.
inline constexpr std::size_t readChunk = std::size_t{1} << 20;

// One of a reader's two buffers of `readChunk` bytes, made once per thread
// and never cleared: most files are small, and a buffer made (and zeroed)
// for each one cost more CPU than reading it (measured on /usr/share, cold:
// a comparison's user CPU went from 4.5 s to 1.2 s; diff -r's is 1.6 s).
[[nodiscard]] inline char *readBuffer(std::size_t which)
{
    thread_local std::array<std::unique_ptr<char[]>, 2> buffers;
    std::unique_ptr<char[]> &buffer = buffers.at(which);
    if (!buffer)
        buffer = std::make_unique_for_overwrite<char[]>(readChunk);
    return buffer.get();
}

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
            // The walk, once it found the queue full, is called back only
            // when half of it is free: called back for every job taken, it
            // and the readers would take turns sleeping per file.
            const bool halfFree = m_jobs.size() == capacity / 2;
            lock.unlock();
            if (halfFree)
                m_notFull.notify_all();
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

} // namespace drovanta::engine
