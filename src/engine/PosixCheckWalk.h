#pragma once

// The primitives of the checks' walks (CheckWalk.h) on POSIX: folders and
// files as descriptors, each item opened relative to the folder that holds
// it and never through a link.
#include "engine/CheckWalk.h"
#include "engine/PosixSupport.h"

#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace drovanta::engine::posix {

struct ListedEntry {
    std::string name;
    struct stat info {};
};

struct CheckSystem {
    using Folder = UniqueFd;
    using File = UniqueFd;
    using Entry = ListedEntry;
    static constexpr char separator = '/';

    // Entries that vanish while listed are left out.
    [[nodiscard]] static Error list(const UniqueFd &folder, std::vector<ListedEntry> &entries);
    // Fails as "open folder".
    [[nodiscard]] static Opened openFolder(const UniqueFd &parent, const std::string &name);
    // A regular file, without touching its access time where the system
    // lets us, read ahead for reading from start to end. Fails as "open".
    [[nodiscard]] static Opened openFile(const UniqueFd &folder, const std::string &name);
    [[nodiscard]] static Outcome<std::size_t> read(UniqueFd &file, char *buffer, std::size_t size);
    [[nodiscard]] static EntryKind kindOf(const ListedEntry &entry);
    [[nodiscard]] static std::string errorText(int code) { return posix::errorText(code); }
    [[nodiscard]] static std::uint64_t sizeOf(const ListedEntry &entry);
    [[nodiscard]] static bool sameFile(const UniqueFd &folder, const ListedEntry &entry, const UniqueFd &earlier);
    [[nodiscard]] static std::optional<ListedEntry> find(const UniqueFd &folder, const std::string &name);
};

} // namespace drovanta::engine::posix
