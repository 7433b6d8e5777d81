// Old backup folders measured and removed on Windows, beneath the
// destination root: links and junctions are removed as themselves, never
// followed, and a volume mounted inside is left alone.
#include "engine/BackupRemoval.h"
#include "engine/FreedTally.h"
#include "engine/LongPath.h"
#include "engine/WindowsSupport.h"
#include "platform/windows/WideText.h"

#include <windows.h>

#include <utility>

namespace drovanta::engine {
namespace {

using namespace windows;

// What a folder takes on the destination.
constexpr std::uint64_t folderBlock = 4096;

struct Entry {
    std::wstring name;
    DWORD attributes = 0;
    std::uint64_t size = 0;
};

// The items directly in `folder`; false when it cannot be listed.
bool listEntries(const std::wstring &folder, std::vector<Entry> &entries)
{
    WIN32_FIND_DATAW data;
    const SearchHandle find(::FindFirstFileExW(toExtendedPath(folder + L"\\*").c_str(), FindExInfoBasic, &data,
                                               FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH));
    if (!find.valid())
        return false;
    do {
        const std::wstring name = data.cFileName;
        if (name != L"." && name != L"..")
            entries.push_back({name, data.dwFileAttributes,
                               (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow});
    } while (::FindNextFileW(find.get(), &data));
    return true;
}

bool isRealFolder(DWORD attributes)
{
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Whether a volume is mounted at folder `path` (a mount point, not a junction).
bool isVolumeMountPoint(const std::wstring &path)
{
    wchar_t volume[64];
    return ::GetVolumeNameForVolumeMountPointW((toExtendedPath(path) + L"\\").c_str(), volume, 64) != 0;
}

std::wstring rootOf(const std::string &root)
{
    std::wstring base = platform::wideText(root);
    while (base.size() > 3 && (base.back() == L'\\' || base.back() == L'/'))
        base.pop_back();
    return base;
}

} // namespace

std::vector<std::uint64_t> bytesFreedByRemoving(const std::string &root, const std::vector<std::string> &names)
{
    const std::wstring base = rootOf(root);
    const DWORD rootAttributes = ::GetFileAttributesW(toExtendedPath(base).c_str());
    if (rootAttributes == INVALID_FILE_ATTRIBUTES || !(rootAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return {};
    FreedTally<std::pair<DWORD, std::uint64_t>> freed(names.size());
    for (std::size_t index = 0; index < names.size(); ++index) {
        const std::wstring top = join(base, platform::wideText(names[index]));
        if (!isRealFolder(::GetFileAttributesW(toExtendedPath(top).c_str())))
            continue;
        freed.add(index, folderBlock);
        std::vector<std::wstring> pending{top};
        while (!pending.empty()) {
            const std::wstring folder = std::move(pending.back());
            pending.pop_back();
            std::vector<Entry> entries;
            if (!listEntries(folder, entries))
                continue;
            for (const Entry &entry : entries) {
                const std::wstring path = join(folder, entry.name);
                if (isRealFolder(entry.attributes)) {
                    freed.add(index, folderBlock);
                    pending.push_back(path);
                    continue;
                }
                if (entry.attributes & FILE_ATTRIBUTE_REPARSE_POINT)
                    continue; // a link takes no data
                const Handle file(::CreateFileW(toExtendedPath(path).c_str(), FILE_READ_ATTRIBUTES,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
                BY_HANDLE_FILE_INFORMATION info{};
                if (!file.valid() || !::GetFileInformationByHandle(file.get(), &info) || info.nNumberOfLinks <= 1)
                    freed.add(index, entry.size);
                else
                    freed.addName({info.dwVolumeSerialNumber,
                                   (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow},
                                  info.nNumberOfLinks, index, entry.size);
            }
        }
    }
    return freed.cumulative();
}

FolderRemoval removeFolder(const std::string &root, const std::string &name, const std::string &removingName)
{
    FolderRemoval removal;
    const std::wstring base = rootOf(root);
    const std::wstring removing = join(base, platform::wideText(removingName));
    // No backup has this name: a removal cut short leaves no half-emptied
    // folder under a backup's name, and the next run finishes it.
    if (!name.empty()
        && !::MoveFileExW(toExtendedPath(join(base, platform::wideText(name))).c_str(),
                          toExtendedPath(removing).c_str(), 0)) {
        removal.failures.push_back(failureOf(join(base, platform::wideText(name)), lastError("rename")));
        return removal;
    }
    if (!isRealFolder(::GetFileAttributesW(toExtendedPath(removing).c_str()))) {
        removal.failures.push_back(failureOf(removing, {ERROR_DIRECTORY, "open folder"}));
        return removal;
    }
    // Depth first, a folder removed once everything in it is.
    struct Pending {
        std::wstring path;
        bool listed = false;
    };
    std::vector<Pending> pending{{removing}};
    while (!pending.empty()) {
        if (pending.back().listed) {
            const std::wstring folder = std::move(pending.back().path);
            pending.pop_back();
            // Read-only is a folder's own attribute; it has no other names.
            const DWORD attributes = ::GetFileAttributesW(toExtendedPath(folder).c_str());
            if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
                (void)::SetFileAttributesW(toExtendedPath(folder).c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
            if (!::RemoveDirectoryW(toExtendedPath(folder).c_str()) && removal.leftMounted.empty())
                removal.failures.push_back(failureOf(folder, lastError("remove folder")));
            continue;
        }
        pending.back().listed = true;
        const std::wstring folder = pending.back().path;
        std::vector<Entry> entries;
        if (!listEntries(folder, entries)) {
            removal.failures.push_back(failureOf(folder, lastError("list folder")));
            continue;
        }
        for (const Entry &entry : entries) {
            const std::wstring path = join(folder, entry.name);
            if (isRealFolder(entry.attributes)) {
                pending.push_back({path});
            } else if (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) {
                // A junction or a folder link goes as itself; a volume
                // mounted here stays, with everything on it.
                if (isVolumeMountPoint(path))
                    removal.leftMounted.push_back(platform::utf8Text(path));
                else if (!::RemoveDirectoryW(toExtendedPath(path).c_str()))
                    removal.failures.push_back(failureOf(path, lastError("remove")));
            } else if (const Error error = removeName(path, "remove")) {
                removal.failures.push_back(failureOf(path, error));
            }
        }
    }
    removal.removed = ::GetFileAttributesW(toExtendedPath(removing).c_str()) == INVALID_FILE_ATTRIBUTES;
    return removal;
}

} // namespace drovanta::engine
