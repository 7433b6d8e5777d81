// What a backup run would write on Windows, measured as the Windows engine
// decides: a file whose copy today's folder or the earlier backup already
// holds (same size, last-write time and kept attributes) is not written;
// links, junctions and mounted volumes are not entered.
#include "engine/CopyEngine.h"
#include "engine/SystemItems.h"
#include "platform/windows/WideText.h"

#include <windows.h>

#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace drovanta::engine {
namespace {

// What a folder takes on the destination.
constexpr std::uint64_t folderBlock = 4096;

// `path` in the extended-length form where it is a drive path, so that
// trees deeper than MAX_PATH are listed too.
std::wstring listable(const std::string &path)
{
    std::wstring result = platform::wideText(path);
    for (auto &c : result) {
        if (c == L'/')
            c = L'\\';
    }
    while (result.size() > 3 && result.back() == L'\\')
        result.pop_back();
    if (result.size() >= 3 && result[1] == L':' && result[2] == L'\\')
        return L"\\\\?\\" + result;
    return result;
}

// What the engine compares of a file with its copy, by name, for the
// files and folders directly in one folder.
struct Listed {
    DWORD attributes = 0;
    std::uint64_t size = 0;
    FILETIME written{};
};
using Listing = std::unordered_map<std::wstring, Listed>;

bool listFolder(const std::wstring &folder, Listing &listing)
{
    WIN32_FIND_DATAW data;
    const HANDLE find = ::FindFirstFileExW((folder + L"\\*").c_str(), FindExInfoBasic, &data, FindExSearchNameMatch,
                                           nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (find == INVALID_HANDLE_VALUE)
        return false;
    do {
        const std::wstring name = data.cFileName;
        if (name != L"." && name != L"..")
            listing[name] = {data.dwFileAttributes,
                             (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow,
                             data.ftLastWriteTime};
    } while (::FindNextFileW(find, &data));
    ::FindClose(find);
    return true;
}

bool isRegular(DWORD attributes)
{
    return !(attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
}

// Whether `copy` is a copy of `file` as the engine would make it: the same
// size, last-write time and kept attributes.
bool sameFile(const Listed &file, const Listed &copy)
{
    constexpr DWORD kept = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM
        | FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    return isRegular(copy.attributes) && copy.size == file.size
        && copy.written.dwLowDateTime == file.written.dwLowDateTime
        && copy.written.dwHighDateTime == file.written.dwHighDateTime
        && (copy.attributes & kept) == (file.attributes & kept);
}

// Whether the filesystem of `folder` gives a file a second name: a probe
// file is made, linked and removed again.
bool makesSecondNames(const std::wstring &folder)
{
    const std::wstring name = folder + L"\\.drovanta-link-probe-" + std::to_wstring(::GetCurrentProcessId());
    const std::wstring second = name + L"-2";
    const HANDLE probe = ::CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                       nullptr);
    if (probe == INVALID_HANDLE_VALUE)
        return false;
    ::CloseHandle(probe);
    const bool linked = ::CreateHardLinkW(second.c_str(), name.c_str(), nullptr) != 0;
    if (linked)
        ::DeleteFileW(second.c_str());
    ::DeleteFileW(name.c_str());
    return linked;
}

} // namespace

std::optional<std::uint64_t> NativeCopyEngine::measure(const Params &params, const std::atomic<bool> &stop)
{
    const std::wstring roots[3] = {listable(params.source), listable(params.previousTarget), listable(params.target)};
    const bool sharing = !params.previousTarget.empty() && makesSecondNames(listable(params.targetRoot));
    std::uint64_t total = 0;
    {
        const DWORD attributes = ::GetFileAttributesW(roots[2].c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
            total += folderBlock;
    }
    std::vector<std::wstring> pending{L""}; // folders below the source still to measure
    bool first = true;
    while (!pending.empty()) {
        if (stop.load())
            return std::nullopt;
        const std::wstring below = std::move(pending.back());
        pending.pop_back();
        Listing listings[3];
        if (!listFolder(roots[0] + below, listings[0])) {
            if (first)
                return std::nullopt;
            continue; // unreadable: the copy reports it, and writes nothing of it
        }
        if (sharing)
            (void)listFolder(roots[1] + below, listings[1]);
        (void)listFolder(roots[2] + below, listings[2]);
        for (const auto &[name, file] : listings[0]) {
            if (file.attributes & FILE_ATTRIBUTE_REPARSE_POINT)
                continue;
            if (first && params.atDriveRoot && isDriveBookkeepingName(platform::utf8Text(name)))
                continue;
            if (file.attributes & FILE_ATTRIBUTE_DIRECTORY) {
                const auto copy = listings[2].find(name);
                if (copy == listings[2].end() || !(copy->second.attributes & FILE_ATTRIBUTE_DIRECTORY))
                    total += folderBlock;
                pending.push_back(below + L"\\" + name);
                continue;
            }
            bool written = false;
            for (int side = 2; side >= 1 && !written; --side) {
                if (side == 2 && !params.skipUnchanged)
                    continue;
                const auto copy = listings[side].find(name);
                written = copy != listings[side].end() && sameFile(file, copy->second);
            }
            if (!written)
                total += file.size;
        }
        first = false;
    }
    return total;
}

} // namespace drovanta::engine
