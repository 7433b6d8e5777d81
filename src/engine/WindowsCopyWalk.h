#pragma once

// The primitives of the copy's walk (TreeWalk.h) on Windows: folders held
// open as handles that let nobody rename or delete them meanwhile, items
// reached by path below them. Links, junctions and mounted volumes are
// never followed.
#include "engine/TreeWalk.h"
#include "engine/WindowsItemCopy.h"
#include "engine/WindowsRunContext.h"
#include "engine/WindowsSupport.h"

#include <windows.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace drovanta::engine::windows {

struct CopyEntry {
    std::wstring name;
    DWORD attributes = 0; // as the listing gives them
};

// Where the listing of a folder stands: its search, once begun.
struct ListingCursor {
    SearchHandle find{};
    bool begun = false;
};

// What a closed level of a walk keeps: the paths of both sides, their
// identity and what the folder's copy is completed with.
struct ClosedFolder {
    std::wstring name;
    std::wstring source;
    std::wstring target;
    std::wstring previous;
    FILE_BASIC_INFO info{};
    FileId sourceId;
    FileId targetId;
    bool fresh = false;
    bool completes = false;
};

class CopyWalkSystem final {
public:
    using Run = RunContext;
    using Folder = windows::Folder;
    using Entry = CopyEntry;
    using Cursor = ListingCursor;
    using Closed = ClosedFolder;

    static constexpr Error outOfMemory{static_cast<int>(ERROR_NOT_ENOUGH_MEMORY), "copy"};
    static constexpr Error nameTaken{static_cast<int>(ERROR_ALREADY_EXISTS), "copy"};
    static constexpr Error destinationGone{static_cast<int>(ERROR_DEV_NOT_EXIST), "write"};

    explicit CopyWalkSystem(RunContext &run) : m_run(run) {}

    bool read(Folder &folder, Cursor &cursor, std::vector<Entry> &entries, int &error);
    static bool isFolder(const Entry &entry)
    {
        return (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) && !(entry.attributes & FILE_ATTRIBUTE_REPARSE_POINT);
    }
    static std::wstring folded(const std::wstring &name);
    static bool knowKind(Folder &, Entry &, Result &) { return true; } // the listing always says
    void copyItem(Folder &folder, const Entry &entry, Result &result)
    {
        windows::copyItem(m_run, folder, entry.name, entry.attributes, result);
    }
    std::shared_ptr<Folder> openFolder(Folder &parent, const std::wstring &name, Result &result);
    static Closed close(const Folder &folder);
    static const std::wstring &nameOf(const Closed &closed) { return closed.name; }
    std::shared_ptr<Folder> reopen(const Closed &closed, const Folder *below, const Folder &anchor,
                                   const std::vector<std::wstring> &names, Result &result);
    static const std::wstring &pathOf(const Folder &folder) { return folder.source; }
    static std::wstring pathOf(const Folder &folder, const std::wstring &name) { return join(folder.source, name); }
    static const std::wstring &targetPathOf(const Folder &folder) { return folder.target; }
    // Handles are plenty: the same bound as where descriptors are.
    static std::size_t folderLimit() { return 1024; }

private:
    RunContext &m_run;
};

// Removes temporary files that an interrupted run left in target folder
// `folder`: items with the temporary form whose name the source folder
// `source` does not hold (a source item of that name is copied instead).
void removeLeftovers(const std::wstring &folder, const std::wstring &source);

// Creates (or merges into) the copy of a folder. A link or file of that name
// in the target is replaced, never followed. Fails as "create folder".
[[nodiscard]] Error makeFolder(const std::wstring &target, bool &fresh);

// Creates the backup folder `folder` when missing, one level only; an item
// in its place that is not a real folder is refused, never followed. Fails
// as "create folder".
[[nodiscard]] Error openBackupFolder(const std::wstring &folder, bool &fresh);

// A restore without leave to overwrite keeps what the user has where a
// folder would go when it is not a real folder (a file, or a link or
// junction, which is never followed either way).
[[nodiscard]] bool keptInPlace(const RunContext &run, const std::wstring &target);

} // namespace drovanta::engine::windows
