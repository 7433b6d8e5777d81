#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>

namespace drovanta::engine {

// The copies of files that have more than one name, so that later names
// become hard links to the first copy, as in the source. A file is known by
// `FileKey` (device and inode; volume serial and file index); only files
// with more than one name are remembered, and each is forgotten once all of
// its names have been seen.
//
// Two names of one file may be copied by two workers at once: the second
// waits until the first is written (or has failed, and then copies the data
// itself and becomes the first copy).
template<typename FileKey, typename Path>
class HardLinkGroups final {
public:
    using Key = FileKey;
    struct Claim {
        bool first = true; // this name copies the data; call finished() afterwards
        Path firstCopy;    // else: the path of the copy to link to
    };

    // For a name of the file `key` with `links` names.
    [[nodiscard]] Claim claim(const Key &key, std::uint64_t links)
    {
        std::unique_lock lock(m_mutex);
        auto found = m_entries.find(key);
        if (found == m_entries.end()) {
            m_entries.emplace(key, Entry{true, {}, links - 1, 0});
            return {};
        }
        Entry &entry = found->second;
        if (entry.unseen > 0)
            --entry.unseen;
        ++entry.waiting;
        m_changed.wait(lock, [&] { return !entry.busy; });
        --entry.waiting;
        if (entry.copy.empty()) { // the first copy failed: this name makes it
            entry.busy = true;
            return {};
        }
        Claim claim{false, entry.copy};
        if (entry.unseen == 0 && entry.waiting == 0)
            m_entries.erase(found);
        return claim;
    }

    // The first copy is complete at `copyPath`, or (empty path) could not be made.
    void finished(const Key &key, const Path &copyPath)
    {
        {
            std::lock_guard lock(m_mutex);
            const auto found = m_entries.find(key);
            if (found == m_entries.end())
                return;
            found->second.busy = false;
            found->second.copy = copyPath;
            if (found->second.unseen == 0 && found->second.waiting == 0)
                m_entries.erase(found);
        }
        m_changed.notify_all();
    }

private:
    struct Entry {
        bool busy = true;
        Path copy;
        std::uint64_t unseen = 0; // names not claimed yet
        unsigned waiting = 0;     // claims waiting for the first copy
    };

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::map<Key, Entry> m_entries;
};

} // namespace drovanta::engine
