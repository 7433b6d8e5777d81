#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>

namespace drovanta::engine::posix {

// The copies of files that have more than one name, so that later names
// become links to the first copy, as in the source. Only files with a link
// count above one are remembered, and each is forgotten once all of its
// names have been seen.
//
// Two names of one file may be copied by two workers at once: the second
// waits until the first is written (or has failed, and then copies the data
// itself and becomes the first copy).
class HardLinks final {
public:
    struct Claim {
        bool first = true;     // this name copies the data; call finished() afterwards
        std::string firstCopy; // else: the path of the copy to link to
    };

    // For a name of the file (device, inode) with `links` names.
    [[nodiscard]] Claim claim(dev_t device, ino_t inode, nlink_t links);
    // The first copy is complete at `copyPath`, or (empty path) could not be made.
    void finished(dev_t device, ino_t inode, const std::string &copyPath);

private:
    struct Entry {
        bool busy = true;
        std::string copy;
        nlink_t unseen = 0;   // names not claimed yet
        unsigned waiting = 0; // claims waiting for the first copy
    };

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::map<std::pair<dev_t, ino_t>, Entry> m_entries;
};

} // namespace drovanta::engine::posix
