#pragma once

#include "engine/CopyEngine.h"
#include "engine/EngineError.h"

#include <windows.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace drovanta::engine::windows {

// ERROR_STOPPED_ON_SYMLINK: a link (or junction) where a real folder must be.
inline constexpr DWORD stoppedOnLink = 681;

// The failure the last Win32 call left in GetLastError(), as step `operation`.
[[nodiscard]] inline Error lastError(const char *operation)
{
    return {static_cast<int>(::GetLastError()), operation};
}

// Owns one handle, closed by `Closer` (CloseHandle for files and folders,
// FindClose for listings). Handles written through are closed through
// close(), whose result is checked: a destination may report a failed write
// only there.
template<typename Closer>
class OwnedHandle final {
public:
    explicit OwnedHandle(HANDLE handle = INVALID_HANDLE_VALUE) : m_handle(handle) {}
    OwnedHandle(const OwnedHandle &) = delete;
    OwnedHandle &operator=(const OwnedHandle &) = delete;
    OwnedHandle(OwnedHandle &&other) noexcept : m_handle(std::exchange(other.m_handle, INVALID_HANDLE_VALUE)) {}
    OwnedHandle &operator=(OwnedHandle &&other) noexcept
    {
        reset(std::exchange(other.m_handle, INVALID_HANDLE_VALUE));
        return *this;
    }
    ~OwnedHandle() { (void)close(); }
    [[nodiscard]] HANDLE get() const { return m_handle; }
    [[nodiscard]] bool valid() const { return m_handle != INVALID_HANDLE_VALUE; }
    void reset(HANDLE handle = INVALID_HANDLE_VALUE)
    {
        (void)close();
        m_handle = handle;
    }
    // Closes a handle written through. A failed close is a write the
    // destination could not complete, and is reported as one.
    [[nodiscard]] Error close()
    {
        if (!valid())
            return {};
        return Closer{}(std::exchange(m_handle, INVALID_HANDLE_VALUE)) ? Error{} : lastError("write");
    }

private:
    HANDLE m_handle;
};

struct CloseFile {
    BOOL operator()(HANDLE handle) const { return ::CloseHandle(handle); }
};
struct CloseSearch {
    BOOL operator()(HANDLE handle) const { return ::FindClose(handle); }
};
using Handle = OwnedHandle<CloseFile>;
using SearchHandle = OwnedHandle<CloseSearch>;

// The system's text for a GetLastError() value.
[[nodiscard]] std::string errorText(int code);

// Errors that say the destination as a whole is unusable (full, read-only,
// failing, gone) rather than that one item could not be written.
[[nodiscard]] bool isDestinationFatal(int code);

// The failure of step `error` on the item at `path`, as a result lists it.
[[nodiscard]] ItemFailure failureOf(const std::wstring &path, Error error);

[[nodiscard]] std::wstring join(const std::wstring &folder, const std::wstring &name);
[[nodiscard]] std::wstring baseName(const std::wstring &path);
// A path as the caller gave it, in UTF-16 with backslashes and no trailing one.
[[nodiscard]] std::wstring normalized(const std::string &path);

// A random name with the temporary prefix, unique enough for CREATE_NEW to
// succeed at the first attempt in practice.
[[nodiscard]] std::wstring temporaryName();
inline constexpr int temporaryAttempts = 16;

// A FILETIME as one number of 100 ns units.
[[nodiscard]] std::uint64_t ticks(const FILETIME &time);
// Whether two last-write times are the same at the precision the
// destination keeps: FAT and exFAT round to 2 s as they please.
[[nodiscard]] bool sameWriteTime(const FILETIME &a, const FILETIME &b, bool fatTimes);

// The name the system gives the filesystem holding `path` ("NTFS", "exFAT"...).
[[nodiscard]] std::wstring filesystemOf(const std::wstring &path);
// Whether the filesystem holding `path` keeps times to 2 s only.
[[nodiscard]] bool keepsFatTimes(const std::wstring &path);

// Access the run holds folders with; none of it lets another program
// delete, rename or write to the folder meanwhile (see sharedFolderAccess).
inline constexpr DWORD sourceFolderAccess = FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | READ_CONTROL;
inline constexpr DWORD targetFolderAccess = FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES;
inline constexpr DWORD sharedFolderAccess = FILE_SHARE_READ;

// Opens the folder `path` without following a link at its own name and
// holds it in `handle`, failing as `operation`: stoppedOnLink when a link or
// junction is there, ERROR_DIRECTORY when something else is (`handle` then
// holds that item and `info` describes it).
[[nodiscard]] Error openRealFolder(const std::wstring &path, DWORD access, Handle &handle,
                                   BY_HANDLE_FILE_INFORMATION &info, const char *operation);

// Opens a root as the user named it (links followed: the root is theirs),
// failing as `operation`.
[[nodiscard]] Error openRoot(const std::wstring &path, DWORD access, Handle &handle, BY_HANDLE_FILE_INFORMATION &info,
                             const char *operation);

// Where an item named by a path lies below its root: the folder that holds
// it and its name there (empty when the path is the root itself). Every
// folder between the root and the item was opened without following a link,
// found to be a real folder, and is held in `held` for as long as the Place
// lives, so that none can be renamed or replaced meanwhile.
struct Place {
    std::wstring parent;
    std::wstring name;
    std::vector<Handle> held;
};

// Fails as "open folder": ERROR_INVALID_PARAMETER when `path` does not lie
// below `root` (compared by whole components) or names ".." below it.
[[nodiscard]] Error openPlace(const std::wstring &root, const std::wstring &path, DWORD access, Place &place);

// Removes the name `path` of a file and nothing else: a read-only file that
// has other names keeps its attributes under them. Fails as `operation`.
[[nodiscard]] Error removeName(const std::wstring &path, const char *operation);

// Puts the finished temporary item `temporary` in place of `target`; an
// earlier read-only item of that name is replaced too (see removeName).
// Fails as `operation`.
[[nodiscard]] Error replace(const std::wstring &temporary, const std::wstring &target, const char *operation);

} // namespace drovanta::engine::windows
