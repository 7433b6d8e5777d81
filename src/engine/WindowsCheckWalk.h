#pragma once

// The primitives of the checks' walks (CheckWalk.h) on Windows. Every folder
// on the way is held open as the copy holds its source folders (a real
// folder, not shared for deletion or writing), so that none can be renamed
// or replaced by a link meanwhile; the items in it are reached by path below
// it. Links, junctions and mounted volumes are never followed.
#include "engine/CheckWalk.h"
#include "engine/WindowsSupport.h"

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace drovanta::engine::windows {

struct ListedEntry {
    std::string name; // UTF-8, as the walks' paths are
    DWORD attributes = 0;
    std::uint64_t size = 0;
    FILETIME written{};
};

// A folder held open, and its path.
struct HeldFolder {
    std::wstring path;
    Handle handle{};

    [[nodiscard]] bool valid() const { return handle.valid(); }
};

struct CheckSystem {
    using Folder = HeldFolder;
    using File = Handle;
    using Entry = ListedEntry;
    static constexpr char separator = '\\';

    [[nodiscard]] static Error list(const HeldFolder &folder, std::vector<ListedEntry> &entries);
    // Fails as "open folder".
    [[nodiscard]] static Outcome<HeldFolder> openFolder(const HeldFolder &parent, const std::string &name);
    // Fails as "open"; a link or junction with stoppedOnLink.
    [[nodiscard]] static Outcome<Handle> openFile(const HeldFolder &folder, const std::string &name);
    [[nodiscard]] static Outcome<std::size_t> read(Handle &file, char *buffer, std::size_t size);
    [[nodiscard]] static EntryKind kindOf(const ListedEntry &entry);
    [[nodiscard]] static std::string errorText(int code) { return windows::errorText(code); }
    [[nodiscard]] static std::uint64_t sizeOf(const ListedEntry &entry) { return entry.size; }
    [[nodiscard]] static bool sameFile(const HeldFolder &folder, const ListedEntry &entry, const HeldFolder &earlier);
    [[nodiscard]] static std::optional<ListedEntry> find(const HeldFolder &folder, const std::string &name);

    // A folder named by the user, as a root is opened (links followed: the
    // path is theirs). Fails as "open folder".
    [[nodiscard]] static Outcome<HeldFolder> openTop(const std::wstring &path);
    // The path of item `name` in `folder`.
    [[nodiscard]] static std::wstring pathOf(const HeldFolder &folder, const std::string &name);
};

// What a listing would tell of the item at `path`, not followed; nothing
// when there is none.
[[nodiscard]] std::optional<ListedEntry> listedAt(const std::wstring &path);

// What a link or junction holds (its reparse data), read without following
// it; empty when it cannot be read.
[[nodiscard]] std::string reparseData(const std::wstring &path);

} // namespace drovanta::engine::windows
