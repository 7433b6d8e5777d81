// The backup folder's creation and its lock on Windows: neither follows a
// link (symbolic link or junction) at the folder's own name. The lock is a
// named mutex derived from the folder's volume and file number, so that it
// lies outside the copied tree and every path to the folder meets it.
#include "platform/HeldFolders.h"
#include "platform/OwnedHandle.h"
#include "platform/StdFileOperations.h"
#include "platform/windows/WideText.h"

#include <windows.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

namespace drovanta::platform {
namespace {

std::wstring wide(const std::string &text)
{
    std::wstring result = wideText(text);
    if (result.empty() && !text.empty())
        throw Failure("Bad file name '" + text + "'");
    return result;
}

std::string systemMessage(DWORD error)
{
    char *buffer = nullptr;
    const DWORD length = ::FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
        0, reinterpret_cast<char *>(&buffer), 0, nullptr);
    std::string message = length > 0 && buffer ? std::string(buffer, length) : std::string();
    if (buffer)
        ::LocalFree(buffer);
    while (!message.empty() && (message.back() == '\r' || message.back() == '\n' || message.back() == ' '))
        message.pop_back();
    return message.empty() ? "error " + std::to_string(error) : message;
}

std::string describe(const std::string &what, const std::string &path, DWORD error)
{
    return what + " '" + path + "': " + systemMessage(error);
}

// Throws NotAFolder unless the attributes are those of a real folder.
void checkRealFolder(const std::string &path, DWORD attributes)
{
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
        throw NotAFolder(path, "a link");
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
        throw NotAFolder(path, attributes & FILE_ATTRIBUTE_DEVICE ? "a device" : "a file");
}


} // namespace

void StdFileOperations::createFolder(const std::string &path) const
{
    if (path.empty())
        throw Failure("Path not found");
    const std::wstring name = wide(path);
    // CreateDirectoryW creates one level and does not follow a link there.
    if (::CreateDirectoryW(name.c_str(), nullptr))
        return;
    const DWORD error = ::GetLastError();
    if (error != ERROR_ALREADY_EXISTS)
        throw Failure(describe("Cannot create folder", path, error));
    const DWORD attributes = ::GetFileAttributesW(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        throw Failure(describe("Cannot create folder", path, ::GetLastError()));
    checkRealFolder(path, attributes);
}

std::unique_ptr<FolderLock> StdFileOperations::lockFolder(const std::string &path) const
{
    const OwnedHandle folder(::CreateFileW(wide(path).c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (folder.get() == INVALID_HANDLE_VALUE)
        throw Failure(describe("Cannot open folder", path, ::GetLastError()));
    BY_HANDLE_FILE_INFORMATION facts{};
    if (!::GetFileInformationByHandle(folder.get(), &facts))
        throw Failure(describe("Cannot open folder", path, ::GetLastError()));
    checkRealFolder(path, facts.dwFileAttributes);
    const FolderIdentity identity{facts.dwVolumeSerialNumber,
                                  (static_cast<std::uint64_t>(facts.nFileIndexHigh) << 32) | facts.nFileIndexLow};
    return shareOrTake(identity, [&]() -> std::shared_ptr<void> {
        wchar_t name[96];
        std::swprintf(name, sizeof name / sizeof name[0], L"Global\\Drovanta-backup-%08llx-%016llx",
                      static_cast<unsigned long long>(identity.volume),
                      static_cast<unsigned long long>(identity.index));
        HANDLE mutex = ::CreateMutexW(nullptr, FALSE, name);
        if (!mutex)
            throw Failure(describe("Cannot lock folder", path, ::GetLastError()));
        const DWORD waited = ::WaitForSingleObject(mutex, 0);
        if (waited == WAIT_TIMEOUT) {
            ::CloseHandle(mutex);
            return nullptr;
        }
        if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
            const DWORD error = ::GetLastError();
            ::CloseHandle(mutex);
            throw Failure(describe("Cannot lock folder", path, error));
        }
        // Released by the thread that took it: the run's own thread.
        return std::shared_ptr<void>(mutex, [](HANDLE owned) {
            ::ReleaseMutex(owned);
            ::CloseHandle(owned);
        });
    });
}

std::optional<std::string> StdFileOperations::writeProblem(const std::string &path) const
{
    const std::wstring name = wide(path);
    const DWORD attributes = ::GetFileAttributesW(name.c_str());
    const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
    if (exists && ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) || !(attributes & FILE_ATTRIBUTE_DIRECTORY)))
        return std::nullopt;
    // A folder of a unique name where the run would create its first item:
    // two runs checking at once never meet, and the backup folder itself is
    // never created and removed under a run that has just taken it.
    std::wstring probe = exists ? name : std::filesystem::path(name).parent_path().wstring();
    if (!probe.empty() && probe.back() != L'\\' && probe.back() != L'/')
        probe += L'\\';
    probe += L".drovanta-write-check-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
        std::to_wstring(::GetTickCount64());
    if (!::CreateDirectoryW(probe.c_str(), nullptr))
        return describe(exists ? "Cannot write into folder" : "Cannot create folder", path, ::GetLastError());
    ::RemoveDirectoryW(probe.c_str());
    return std::nullopt;
}

} // namespace drovanta::platform
