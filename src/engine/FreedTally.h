#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

namespace drovanta::engine {

// What removing folders frees, tallied as their items are seen: folders are
// removed in order, and a file with several names is freed only with the
// folder that holds the last of them, once every one of its names is among
// the folders seen. `FileKey` tells files apart (device and inode; volume
// serial and file index).
template<typename FileKey>
class FreedTally final {
public:
    explicit FreedTally(std::size_t folders) : m_freed(folders, 0) {}

    // An item that folder `index` alone holds: a folder, or a file with one name.
    void add(std::size_t index, std::uint64_t bytes) { m_freed[index] += bytes; }

    // One name, in folder `index`, of the file `key` with `links` names.
    void addName(const FileKey &key, std::uint64_t links, std::size_t index, std::uint64_t bytes)
    {
        Names &names = m_linked[key];
        ++names.seen;
        names.links = links;
        names.last = index;
        names.bytes = bytes;
    }

    // What removing the first k folders frees, for k = 1 to n.
    [[nodiscard]] std::vector<std::uint64_t> cumulative() const
    {
        std::vector<std::uint64_t> freed = m_freed;
        for (const auto &[key, names] : m_linked) {
            if (names.seen >= names.links)
                freed[names.last] += names.bytes;
        }
        for (std::size_t index = 1; index < freed.size(); ++index)
            freed[index] += freed[index - 1];
        return freed;
    }

private:
    struct Names {
        std::uint64_t seen = 0;
        std::uint64_t links = 0;
        std::size_t last = 0;
        std::uint64_t bytes = 0;
    };
    std::vector<std::uint64_t> m_freed;
    std::map<FileKey, Names> m_linked;
};

} // namespace drovanta::engine
