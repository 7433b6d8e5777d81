#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>

namespace drovanta::engine::windows {

// The copies of files that have more than one name, so that later names
// become hard links to the first copy, as in the source. A file is known by
// its volume's serial number and its file index; only files with more than
// one name are remembered, and each is forgotten once all of its names have
// been seen.
//
// Two names of one file may be copied by two workers at once: the second
// waits until the first is written (or has failed, and then copies the data
// itself and becomes the first copy).
class HardLinks final {
public:
    using Key = std::pair<std::uint32_t, std::uint64_t>; // volume serial, file index

    struct Claim {
        bool first = true;      // this name copies the data; call finished() afterwards
        std::wstring firstCopy; // else: the path of the copy to link to
    };

    // For a name of the file `key` with `links` names.
    [[nodiscard]] Claim claim(const Key &key, std::uint32_t links);
    // The first copy is complete at `copyPath`, or (empty path) could not be made.
    void finished(const Key &key, const std::wstring &copyPath);

private:
    struct Entry {
        bool busy = true;
        std::wstring copy;
        std::uint32_t unseen = 0; // names not claimed yet
        unsigned waiting = 0;     // claims waiting for the first copy
    };

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::map<Key, Entry> m_entries;
};

} // namespace drovanta::engine::windows
