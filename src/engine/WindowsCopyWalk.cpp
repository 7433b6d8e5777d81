#include "engine/WindowsCopyWalk.h"

#include "engine/LongPath.h"
#include "engine/SystemItems.h"
#include "engine/WindowsMetadata.h"
#include "platform/windows/WideText.h"

#include <utility>

namespace drovanta::engine::windows {

using platform::utf8Text;
using platform::wideText;

namespace {

// Entries one read of a listing gives at most: the walk hands what it has
// gathered to the workers between reads.
constexpr std::size_t entriesPerRead = 256;

// Creates folder `path` when missing (`fresh`), else reads the
// `attributes` of what has its name. Fails as "create folder".
Error createFolder(const std::wstring &path, bool &fresh, DWORD &attributes)
{
    constexpr const char *operation = "create folder";
    fresh = ::CreateDirectoryW(path.c_str(), nullptr) != 0;
    if (fresh)
        return {};
    if (const Error error = lastError(operation); error.code != ERROR_ALREADY_EXISTS)
        return error;
    attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return lastError(operation);
    return {};
}

} // namespace

void removeLeftovers(const std::wstring &folder, const std::wstring &source)
{
    WIN32_FIND_DATAW data;
    const std::wstring pattern = toExtendedPath(join(folder, wideText(temporaryPrefix) + L"*"));
    const SearchHandle find(
        ::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0));
    if (!find.valid())
        return;
    do {
        if (!isTemporaryName(utf8Text(data.cFileName))
            || ::GetFileAttributesW(toExtendedPath(join(source, data.cFileName)).c_str()) != INVALID_FILE_ATTRIBUTES
            || ::GetLastError() != ERROR_FILE_NOT_FOUND)
            continue;
        const std::wstring path = toExtendedPath(join(folder, data.cFileName));
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            ::RemoveDirectoryW(path.c_str());
        else {
            ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            ::DeleteFileW(path.c_str());
        }
    } while (::FindNextFileW(find.get(), &data));
}

Error makeFolder(const std::wstring &target, bool &fresh)
{
    constexpr const char *operation = "create folder";
    const std::wstring path = toExtendedPath(target);
    DWORD attributes = 0;
    if (const Error error = createFolder(path, fresh, attributes); error || fresh)
        return error;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        if (attributes & FILE_ATTRIBUTE_READONLY)
            ::SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
        return {};
    }
    // A file may be shared with an earlier backup: only this name goes.
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (!::RemoveDirectoryW(path.c_str()))
            return lastError(operation);
    } else if (const Error removed = removeName(target, operation)) {
        return removed;
    }
    if (!::CreateDirectoryW(path.c_str(), nullptr))
        return lastError(operation);
    fresh = true;
    return {};
}

Error openBackupFolder(const std::wstring &folder, bool &fresh)
{
    DWORD attributes = 0;
    if (const Error error = createFolder(toExtendedPath(folder), fresh, attributes); error || fresh)
        return error;
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) || (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return {ERROR_DIRECTORY, "create folder"};
    return {};
}

bool keptInPlace(const RunContext &run, const std::wstring &target)
{
    if (!run.params.keepExisting)
        return false;
    const DWORD attributes = ::GetFileAttributesW(toExtendedPath(target).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES
        && (!(attributes & FILE_ATTRIBUTE_DIRECTORY) || (attributes & FILE_ATTRIBUTE_REPARSE_POINT));
}

bool CopyWalkSystem::read(Folder &folder, Cursor &cursor, std::vector<Entry> &entries, int &error)
{
    WIN32_FIND_DATAW data;
    const auto add = [this, &entries, &data] {
        if (std::wstring_view(data.cFileName) != L"." && std::wstring_view(data.cFileName) != L".."
            && !(m_run.params.leavesOutLeftovers && isTemporaryName(utf8Text(data.cFileName))))
            entries.push_back({data.cFileName, data.dwFileAttributes});
    };
    if (!cursor.begun) {
        cursor.begun = true;
        const std::wstring pattern = toExtendedPath(join(folder.source, L"*"));
        cursor.find.reset(::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr,
                                             FIND_FIRST_EX_LARGE_FETCH));
        if (!cursor.find.valid()) {
            error = static_cast<int>(::GetLastError());
            return false;
        }
        add();
    }
    for (std::size_t read = 0; read < entriesPerRead; ++read) {
        if (!::FindNextFileW(cursor.find.get(), &data)) {
            if (const DWORD code = ::GetLastError(); code != ERROR_NO_MORE_FILES)
                error = static_cast<int>(code);
            return false;
        }
        add();
    }
    return true;
}

std::wstring CopyWalkSystem::folded(const std::wstring &name)
{
    std::wstring folded = name;
    if (!folded.empty())
        ::CharUpperBuffW(folded.data(), static_cast<DWORD>(folded.size()));
    return folded;
}

std::shared_ptr<Folder> CopyWalkSystem::openFolder(Folder &parent, const std::wstring &name, Result &result)
{
    auto child = std::make_shared<Folder>(m_run, join(parent.source, name), join(parent.target, name));
    if (!parent.fresh() && keptInPlace(m_run, child->target)) {
        result.kept.push_back(utf8Text(child->target));
        return nullptr;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (const Error error
        = openRealFolder(child->source, sourceFolderAccess, child->sourceHandle, info, "read information")) {
        if (error.code == stoppedOnLink) // became a link since it was listed: copied as one
            copyItem(parent, {name, info.dwFileAttributes}, result);
        else
            m_run.fail(result, child->source, error, false);
        return nullptr;
    }
    child->info = basicOf(info);
    child->sourceId = FileId::of(info);
    if (hasOwnAccessRules(child->sourceHandle.get()))
        m_run.note(NoteKind::AccessControlLists);
    Error error = makeFolder(child->target, child->created);
    if (!error) {
        BY_HANDLE_FILE_INFORMATION target{};
        error = openRealFolder(child->target, targetFolderAccess, child->targetHandle, target, "create folder");
        child->targetId = FileId::of(target);
    }
    if (error) {
        m_run.fail(result, child->target, error, true);
        return nullptr;
    }
    if (!child->created)
        removeLeftovers(child->target, child->source);
    if (!parent.previous.empty())
        child->setPrevious(join(parent.previous, name));
    ++result.folders;
    child->completes = true;
    return child;
}

CopyWalkSystem::Closed CopyWalkSystem::close(const Folder &folder)
{
    return {baseName(folder.source), folder.source, folder.target, folder.previous, folder.info,
            folder.sourceId, folder.targetId, folder.created, folder.completes};
}

// Both sides by their paths, each a real folder, which must be the same one
// (volume and file index) as before: the folders above may have been renamed
// or replaced while the level was closed.
std::shared_ptr<Folder> CopyWalkSystem::reopen(const Closed &closed, const Folder *, const Folder &,
                                               const std::vector<std::wstring> &, Result &result)
{
    auto folder = std::make_shared<Folder>(m_run, closed.source, closed.target);
    BY_HANDLE_FILE_INFORMATION source{};
    BY_HANDLE_FILE_INFORMATION target{};
    Error error = openRealFolder(closed.source, sourceFolderAccess, folder->sourceHandle, source, "open folder");
    if (!error)
        error = openRealFolder(closed.target, targetFolderAccess, folder->targetHandle, target, "open folder");
    if (!error && (FileId::of(source) != closed.sourceId || FileId::of(target) != closed.targetId))
        error = {static_cast<int>(ERROR_FILE_NOT_FOUND), "open folder"};
    if (error) {
        m_run.fail(result, closed.source, error, false);
        return nullptr;
    }
    folder->info = closed.info;
    folder->sourceId = closed.sourceId;
    folder->targetId = closed.targetId;
    folder->created = closed.fresh;
    folder->completes = closed.completes;
    folder->setPrevious(closed.previous);
    return folder;
}

} // namespace drovanta::engine::windows
