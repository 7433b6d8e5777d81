#include "engine/WindowsSupport.h"

#include "engine/LongPath.h"
#include "engine/PathBelowRoot.h"
#include "engine/SystemItems.h"
#include "platform/windows/WideText.h"

#include <algorithm>
#include <random>

namespace drovanta::engine::windows {

using platform::utf8Text;
using platform::wideText;

namespace {

// ERROR_DISK_QUOTA_EXCEEDED; older MinGW-w64 headers lack the name.
constexpr DWORD diskQuotaExceeded = 1295;

} // namespace

std::string errorText(int code)
{
    wchar_t *buffer = nullptr;
    const DWORD length = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM
                                              | FORMAT_MESSAGE_IGNORE_INSERTS,
                                          nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t *>(&buffer),
                                          0, nullptr);
    std::wstring text = length != 0 ? std::wstring(buffer, length) : L"Error " + std::to_wstring(code);
    if (buffer != nullptr)
        ::LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' '))
        text.pop_back();
    return utf8Text(text);
}

bool isDestinationFatal(int code)
{
    switch (code) {
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
    case ERROR_WRITE_PROTECT:
    case ERROR_NOT_READY:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_IO_DEVICE:
    case ERROR_CRC:
    case ERROR_NETNAME_DELETED:
    case diskQuotaExceeded:
        return true;
    default:
        return false;
    }
}

ItemFailure failureOf(const std::wstring &path, Error error)
{
    return {utf8Text(path), error.operation, errorText(error.code), error.code};
}

std::wstring join(const std::wstring &folder, const std::wstring &name)
{
    if (!folder.empty() && folder.back() == L'\\')
        return folder + name;
    return folder + L'\\' + name;
}

std::wstring baseName(const std::wstring &path)
{
    const auto slash = path.find_last_of(L'\\');
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

std::wstring normalized(const std::string &path)
{
    std::wstring result = wideText(path);
    std::replace(result.begin(), result.end(), L'/', L'\\');
    while (result.size() > 3 && result.back() == L'\\')
        result.pop_back();
    return result;
}

std::wstring temporaryName()
{
    thread_local std::mt19937_64 generator{std::random_device{}() ^ (static_cast<std::uint64_t>(::GetCurrentThreadId()) << 32)
                                           ^ ::GetTickCount64()};
    static constexpr wchar_t digits[] = L"0123456789abcdef";
    std::wstring name = wideText(temporaryPrefix);
    auto value = generator();
    for (int i = 0; i < static_cast<int>(temporaryDigits); ++i) {
        name += digits[value & 0xf];
        value >>= 4;
    }
    return name;
}

std::uint64_t ticks(const FILETIME &time)
{
    return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

bool sameWriteTime(const FILETIME &a, const FILETIME &b, bool fatTimes)
{
    const auto x = ticks(a);
    const auto y = ticks(b);
    const std::uint64_t tolerance = fatTimes ? 20'000'000 : 0; // 2 s in 100 ns units
    return (x > y ? x - y : y - x) <= tolerance;
}

std::wstring filesystemOf(const std::wstring &path)
{
    wchar_t volume[MAX_PATH + 1] = {};
    wchar_t system[MAX_PATH + 1] = {};
    if (!::GetVolumePathNameW(path.c_str(), volume, MAX_PATH)
        || !::GetVolumeInformationW(volume, nullptr, 0, nullptr, nullptr, nullptr, system, MAX_PATH))
        return {};
    return system;
}

bool keepsFatTimes(const std::wstring &path)
{
    const std::wstring name = filesystemOf(path);
    return name == L"FAT" || name == L"FAT32" || name == L"exFAT";
}

Error openRealFolder(const std::wstring &path, DWORD access, Handle &handle, BY_HANDLE_FILE_INFORMATION &info,
                     const char *operation)
{
    handle.reset(::CreateFileW(toExtendedPath(path).c_str(), access, sharedFolderAccess, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!handle.valid() || !::GetFileInformationByHandle(handle.get(), &info)) {
        const Error error = lastError(operation);
        handle.reset();
        return error;
    }
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return {stoppedOnLink, operation};
    if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return {ERROR_DIRECTORY, operation};
    return {};
}

Error openRoot(const std::wstring &path, DWORD access, Handle &handle, BY_HANDLE_FILE_INFORMATION &info,
               const char *operation)
{
    handle.reset(::CreateFileW(toExtendedPath(path).c_str(), access,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!handle.valid() || !::GetFileInformationByHandle(handle.get(), &info))
        return lastError(operation);
    if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return {ERROR_DIRECTORY, operation};
    return {};
}

Error openPlace(const std::wstring &root, const std::wstring &path, DWORD access, Place &place)
{
    constexpr const char *operation = "open folder";
    const auto sameName = [](const std::wstring &a, const std::wstring &b) {
        return ::CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), TRUE)
            == CSTR_EQUAL;
    };
    PathBelowRoot<wchar_t> split;
    if (!splitAtRoot<wchar_t>(root, path, L'\\', sameName, split))
        return {ERROR_INVALID_PARAMETER, operation};
    place.parent = std::move(split.root);
    if (split.below.empty())
        return {};
    place.name = std::move(split.below.back());
    split.below.pop_back();
    for (const auto &part : split.below) {
        place.parent = join(place.parent, part);
        Handle folder;
        BY_HANDLE_FILE_INFORMATION ignored{};
        if (const Error error = openRealFolder(place.parent, access, folder, ignored, operation))
            return error;
        place.held.push_back(std::move(folder));
    }
    return {};
}

Error removeName(const std::wstring &path, const char *operation)
{
    const std::wstring extended = toExtendedPath(path);
    if (::DeleteFileW(extended.c_str()))
        return {};
    const Error error = lastError(operation);
    if (error.code != ERROR_ACCESS_DENIED)
        return error;
    // Read-only, an attribute of the file rather than of this name: it is
    // dropped for the removal only and given back before the handle closes,
    // so that the file's other names (an earlier backup's) keep it.
    Handle file(::CreateFileW(extended.c_str(), DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    FILE_BASIC_INFO kept{};
    if (!file.valid() || !::GetFileInformationByHandleEx(file.get(), FileBasicInfo, &kept, sizeof kept))
        return lastError(operation);
    if (!(kept.FileAttributes & FILE_ATTRIBUTE_READONLY))
        return error;
    FILE_BASIC_INFO writable{};
    writable.FileAttributes = kept.FileAttributes & ~FILE_ATTRIBUTE_READONLY;
    if (writable.FileAttributes == 0)
        writable.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    if (!::SetFileInformationByHandle(file.get(), FileBasicInfo, &writable, sizeof writable))
        return lastError(operation);
    FILE_DISPOSITION_INFO removal{};
    removal.DeleteFile = TRUE;
    const Error removed = ::SetFileInformationByHandle(file.get(), FileDispositionInfo, &removal, sizeof removal)
        ? Error{}
        : lastError(operation);
    FILE_BASIC_INFO back{};
    back.FileAttributes = kept.FileAttributes;
    (void)::SetFileInformationByHandle(file.get(), FileBasicInfo, &back, sizeof back);
    if (const Error closed = file.close(); !removed && closed)
        return {closed.code, operation};
    return removed;
}

Error replace(const std::wstring &temporary, const std::wstring &target, const char *operation)
{
    const std::wstring from = toExtendedPath(temporary);
    const std::wstring to = toExtendedPath(target);
    if (::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING))
        return {};
    const Error error = lastError(operation);
    if (error.code != ERROR_ACCESS_DENIED)
        return error;
    const DWORD attributes = ::GetFileAttributesW(to.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_READONLY))
        return error;
    // A read-only file with other names (shared with an earlier backup)
    // loses this name only; one with a single name loses the attribute and
    // is replaced in one step, so that the name is never missing.
    BY_HANDLE_FILE_INFORMATION info{};
    {
        Handle existing(::CreateFileW(to.c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        if (!existing.valid() || !::GetFileInformationByHandle(existing.get(), &info))
            return lastError(operation);
    }
    if (info.nNumberOfLinks > 1 && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        if (const Error removed = removeName(target, operation))
            return removed;
    } else if (!::SetFileAttributesW(to.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) {
        return lastError(operation);
    }
    return ::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) ? Error{} : lastError(operation);
}

} // namespace drovanta::engine::windows
