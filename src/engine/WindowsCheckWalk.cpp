#include "engine/WindowsCheckWalk.h"

#include "engine/LongPath.h"
#include "platform/windows/WideText.h"

#include <winioctl.h>

#include <algorithm>

namespace drovanta::engine::windows {

using platform::utf8Text;
using platform::wideText;

namespace {

constexpr DWORD folderAccess = FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES;
constexpr DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

std::uint64_t bytes(DWORD high, DWORD low)
{
    return (static_cast<std::uint64_t>(high) << 32) | low;
}

// The identity and link count of the item at `path`, not followed.
std::optional<BY_HANDLE_FILE_INFORMATION> identityOf(const std::wstring &path)
{
    const Handle item(::CreateFileW(toExtendedPath(path).c_str(), FILE_READ_ATTRIBUTES, shareAll, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                                    nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!item.valid() || !::GetFileInformationByHandle(item.get(), &info))
        return std::nullopt;
    return info;
}

} // namespace

Error CheckSystem::list(const HeldFolder &folder, std::vector<ListedEntry> &entries)
{
    WIN32_FIND_DATAW data;
    const SearchHandle find(::FindFirstFileExW(toExtendedPath(join(folder.path, L"*")).c_str(), FindExInfoBasic,
                                               &data, FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH));
    if (!find.valid())
        return lastError("list folder");
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..")
            continue;
        entries.push_back({utf8Text(name), data.dwFileAttributes, bytes(data.nFileSizeHigh, data.nFileSizeLow),
                           data.ftLastWriteTime});
    } while (::FindNextFileW(find.get(), &data));
    if (const DWORD code = ::GetLastError(); code != ERROR_NO_MORE_FILES)
        return {static_cast<int>(code), "list folder"};
    std::sort(entries.begin(), entries.end(),
              [](const ListedEntry &a, const ListedEntry &b) { return a.name < b.name; });
    return {};
}

Outcome<HeldFolder> CheckSystem::openFolder(const HeldFolder &parent, const std::string &name)
{
    HeldFolder folder{pathOf(parent, name), Handle{}};
    BY_HANDLE_FILE_INFORMATION ignored{};
    if (const Error error = openRealFolder(folder.path, folderAccess, folder.handle, ignored, "open folder"))
        return error;
    return folder;
}

Outcome<HeldFolder> CheckSystem::openTop(const std::wstring &path)
{
    HeldFolder folder{path, Handle{}};
    BY_HANDLE_FILE_INFORMATION ignored{};
    if (const Error error = openRoot(path, folderAccess, folder.handle, ignored, "open folder"))
        return error;
    return folder;
}

Outcome<Handle> CheckSystem::openFile(const HeldFolder &folder, const std::string &name)
{
    Handle file(::CreateFileW(toExtendedPath(pathOf(folder, name)).c_str(), GENERIC_READ, shareAll, nullptr,
                              OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!file.valid() || !::GetFileInformationByHandle(file.get(), &info))
        return lastError("open");
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) // became a link since it was listed
        return Error{static_cast<int>(stoppedOnLink), "open"};
    return file;
}

Outcome<std::size_t> CheckSystem::read(Handle &file, char *buffer, std::size_t size)
{
    DWORD read = 0;
    const auto wanted = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
    if (!::ReadFile(file.get(), buffer, wanted, &read, nullptr))
        return lastError("read");
    return static_cast<std::size_t>(read);
}

EntryKind CheckSystem::kindOf(const ListedEntry &entry)
{
    if (entry.attributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return EntryKind::Other;
    return entry.attributes & FILE_ATTRIBUTE_DIRECTORY ? EntryKind::Folder : EntryKind::File;
}

bool CheckSystem::sameFile(const HeldFolder &folder, const ListedEntry &entry, const HeldFolder &earlier)
{
    const auto one = identityOf(pathOf(folder, entry.name));
    const auto other = identityOf(pathOf(earlier, entry.name));
    return one && other && one->dwVolumeSerialNumber == other->dwVolumeSerialNumber
        && one->nFileIndexHigh == other->nFileIndexHigh && one->nFileIndexLow == other->nFileIndexLow;
}

std::optional<ListedEntry> CheckSystem::find(const HeldFolder &folder, const std::string &name)
{
    std::optional<ListedEntry> entry = listedAt(pathOf(folder, name));
    if (entry)
        entry->name = name;
    return entry;
}

std::wstring CheckSystem::pathOf(const HeldFolder &folder, const std::string &name)
{
    return join(folder.path, wideText(name));
}

std::optional<ListedEntry> listedAt(const std::wstring &path)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(toExtendedPath(path).c_str(), GetFileExInfoStandard, &data))
        return std::nullopt;
    return ListedEntry{utf8Text(baseName(path)), data.dwFileAttributes, bytes(data.nFileSizeHigh, data.nFileSizeLow),
                       data.ftLastWriteTime};
}

std::string reparseData(const std::wstring &path)
{
    const Handle item(::CreateFileW(toExtendedPath(path).c_str(), GENERIC_READ, shareAll, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    std::string data(MAXIMUM_REPARSE_DATA_BUFFER_SIZE, '\0');
    DWORD size = 0;
    if (!item.valid()
        || !::DeviceIoControl(item.get(), FSCTL_GET_REPARSE_POINT, nullptr, 0, data.data(),
                              static_cast<DWORD>(data.size()), &size, nullptr))
        return {};
    data.resize(size);
    return data;
}

} // namespace drovanta::engine::windows
