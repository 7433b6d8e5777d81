// The engine on Windows: the same walk, temporary names and worker pool as on
// POSIX, through Win32 calls. Paths go through the extended-length form so
// that trees deeper than MAX_PATH copy; reparse points (links, junctions,
// mounted volumes) are copied as reparse points and never followed.
//
// Win32 opens by path only, so the run holds each folder it goes through
// open, checked to be a real folder and not shared for deletion: no folder
// on the way can be renamed or replaced by a link while items below it are
// reached by path. Times and attributes are set through handles the run
// opened without following.
//
// What a copy does not keep: alternate data streams (a note per file that
// has them) and access control lists (a copy takes the permissions of the
// backup folder, as a copy made by the system's file manager does; a note
// per item whose list holds rules of its own).
#include "backup/engine/CopyEngine.h"
#include "backup/engine/FaultInjection.h"
#include "backup/engine/JobQueue.h"
#include "backup/engine/LongPath.h"
#include "backup/engine/SystemItems.h"
#include "backup/engine/WindowsHardLinks.h"

#include <windows.h>
#include <aclapi.h>
#include <winioctl.h>

#include <algorithm>
#include <array>
#include <memory>
#include <unordered_set>
#include <mutex>
#include <random>
#include <thread>
#include <utility>
#include <vector>

namespace drovanta::engine {

namespace {

constexpr DWORD bufferSize = 1 << 20;
// ERROR_DISK_QUOTA_EXCEEDED; older MinGW-w64 headers lack the name.
constexpr DWORD diskQuotaExceeded = 1295;
// ERROR_STOPPED_ON_SYMLINK: a link (or junction) where a real folder must be.
constexpr DWORD stoppedOnLink = 681;
constexpr DWORD keptAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM
    | FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

std::wstring wide(const std::string &text)
{
    if (text.empty())
        return {};
    const int size = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring result(static_cast<std::size_t>(size), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), size);
    return result;
}

std::string narrow(const std::wstring &text)
{
    if (text.empty())
        return {};
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                           nullptr, nullptr);
    std::string result(static_cast<std::size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), size, nullptr,
                          nullptr);
    return result;
}

std::string errorText(DWORD code)
{
    wchar_t *buffer = nullptr;
    const DWORD length = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM
                                              | FORMAT_MESSAGE_IGNORE_INSERTS,
                                          nullptr, code, 0, reinterpret_cast<wchar_t *>(&buffer), 0, nullptr);
    std::wstring text = length != 0 ? std::wstring(buffer, length) : L"Error " + std::to_wstring(code);
    if (buffer != nullptr)
        ::LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' '))
        text.pop_back();
    return narrow(text);
}

bool isDestinationFatal(DWORD code)
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

std::wstring join(const std::wstring &folder, const std::wstring &name)
{
    if (!folder.empty() && folder.back() == L'\\')
        return folder + name;
    return folder + L'\\' + name;
}

std::wstring temporaryName()
{
    thread_local std::mt19937_64 generator{std::random_device{}() ^ (static_cast<std::uint64_t>(::GetCurrentThreadId()) << 32)
                                           ^ ::GetTickCount64()};
    static constexpr wchar_t digits[] = L"0123456789abcdef";
    std::wstring name = wide(std::string(temporaryPrefix));
    auto value = generator();
    for (int i = 0; i < static_cast<int>(temporaryDigits); ++i) {
        name += digits[value & 0xf];
        value >>= 4;
    }
    return name;
}

class Handle final {
public:
    explicit Handle(HANDLE handle = INVALID_HANDLE_VALUE) : m_handle(handle) {}
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
    Handle(Handle &&other) noexcept : m_handle(std::exchange(other.m_handle, INVALID_HANDLE_VALUE)) {}
    Handle &operator=(Handle &&other) noexcept
    {
        reset(std::exchange(other.m_handle, INVALID_HANDLE_VALUE));
        return *this;
    }
    ~Handle() { (void)close(); }
    [[nodiscard]] HANDLE get() const { return m_handle; }
    [[nodiscard]] bool valid() const { return m_handle != INVALID_HANDLE_VALUE; }
    void reset(HANDLE handle)
    {
        (void)close();
        m_handle = handle;
    }
    // 0 or the error of CloseHandle: a destination may report a failed write only here.
    DWORD close()
    {
        if (!valid())
            return 0;
        const BOOL closed = ::CloseHandle(std::exchange(m_handle, INVALID_HANDLE_VALUE));
        return closed ? 0 : ::GetLastError();
    }

private:
    HANDLE m_handle;
};

// What one run shares between its threads.
struct Run {
    Run(const Params &params, ProgressSink &progress, const std::atomic<bool> &stop)
        : params(params), progress(progress), stop(stop)
    {
    }

    const Params &params;
    ProgressSink &progress;
    const std::atomic<bool> &stop;
    bool fatTimes = false;
    std::string filesystem; // of the destination, as the system names it
    std::array<std::atomic<std::uint64_t>, static_cast<std::size_t>(NoteKind::AlternateStreams) + 1> notes{};
    std::atomic<bool> halted{false};
    std::mutex mutex;
    Result shared;
    windows::HardLinks hardLinks;
    std::atomic<bool> hardLinksRefused{false}; // the destination cannot link (FAT, exFAT)

    bool cutShort() const { return halted.load() || stop.load(); }

    void note(NoteKind kind) { notes[static_cast<std::size_t>(kind)].fetch_add(1, std::memory_order_relaxed); }

    // A step after the data was written failed: the destination's failure
    // stops the run; anything else is a note, and the item stays.
    void metadataFailed(Result &into, const std::wstring &path, const char *operation, DWORD code, NoteKind kind)
    {
        if (isDestinationFatal(code))
            fail(into, path, operation, code, true);
        else
            note(kind);
    }

    // Gives the item behind `handle` the times and kept attributes of
    // `source`. What the destination refuses is a note; false when the
    // destination itself failed.
    bool applyBasicInfo(Result &into, HANDLE handle, const FILE_BASIC_INFO &source, const std::wstring &path)
    {
        FILE_BASIC_INFO wanted{};
        wanted.CreationTime = source.CreationTime;
        wanted.LastAccessTime = source.LastAccessTime;
        wanted.LastWriteTime = source.LastWriteTime;
        wanted.FileAttributes = (source.FileAttributes & keptAttributes) | FILE_ATTRIBUTE_NORMAL;
        if (::SetFileInformationByHandle(handle, FileBasicInfo, &wanted, sizeof wanted))
            return true;
        // One of the two was refused: find out which, and keep the other.
        FILE_BASIC_INFO times = wanted;
        times.FileAttributes = 0; // left as it is
        if (!::SetFileInformationByHandle(handle, FileBasicInfo, &times, sizeof times))
            metadataFailed(into, path, "set times", ::GetLastError(), NoteKind::Times);
        FILE_BASIC_INFO attributes{};
        attributes.FileAttributes = wanted.FileAttributes;
        if (!halted && !::SetFileInformationByHandle(handle, FileBasicInfo, &attributes, sizeof attributes))
            metadataFailed(into, path, "set attributes", ::GetLastError(), NoteKind::OwnersAndPermissions);
        return !halted;
    }

    void collect(Result &into)
    {
        into.merge(shared);
        for (std::size_t kind = 0; kind < notes.size(); ++kind) {
            if (const auto items = notes[kind].exchange(0); items > 0)
                into.addNote(static_cast<NoteKind>(kind), filesystem, items);
        }
    }

    void fail(Result &into, const std::wstring &path, const char *operation, DWORD code, bool targetSide)
    {
        if (targetSide && isDestinationFatal(code)) {
            std::lock_guard lock(mutex);
            if (!shared.destinationFailed) {
                shared.destinationFailed = true;
                shared.destinationFailure = {narrow(path), operation, errorText(code), static_cast<int>(code)};
            }
            halted = true;
            return;
        }
        if (halted)
            return;
        if (&into == &shared) {
            std::lock_guard lock(mutex);
            into.failures.push_back({narrow(path), operation, errorText(code), static_cast<int>(code)});
        } else {
            into.failures.push_back({narrow(path), operation, errorText(code), static_cast<int>(code)});
        }
    }
};

FILE_BASIC_INFO basicOf(const BY_HANDLE_FILE_INFORMATION &info)
{
    const auto value = [](const FILETIME &time) {
        LARGE_INTEGER result;
        result.LowPart = time.dwLowDateTime;
        result.HighPart = static_cast<LONG>(time.dwHighDateTime);
        return result;
    };
    FILE_BASIC_INFO basic{};
    basic.CreationTime = value(info.ftCreationTime);
    basic.LastAccessTime = value(info.ftLastAccessTime);
    basic.LastWriteTime = value(info.ftLastWriteTime);
    basic.FileAttributes = info.dwFileAttributes;
    return basic;
}

// Whether the access control list of the item behind `handle` holds rules
// of its own (not only those inherited from its folder), which a copy does
// not keep.
bool hasOwnAccessRules(HANDLE handle)
{
    PACL list = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetSecurityInfo(handle, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &list, nullptr,
                          &descriptor)
        != ERROR_SUCCESS)
        return false;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    bool own = ::GetSecurityDescriptorControl(descriptor, &control, &revision) && (control & SE_DACL_PROTECTED);
    for (DWORD index = 0; list != nullptr && !own && index < list->AceCount; ++index) {
        void *entry = nullptr;
        own = ::GetAce(list, index, &entry) && !(static_cast<const ACE_HEADER *>(entry)->AceFlags & INHERITED_ACE);
    }
    ::LocalFree(descriptor);
    return own;
}

// Whether the file behind `handle` has data streams beyond its main one.
bool hasAlternateStreams(HANDLE handle)
{
    alignas(FILE_STREAM_INFO) char buffer[1024];
    if (::GetFileInformationByHandleEx(handle, FileStreamInfo, buffer, sizeof buffer))
        return reinterpret_cast<const FILE_STREAM_INFO *>(buffer)->NextEntryOffset != 0;
    return ::GetLastError() == ERROR_MORE_DATA; // more than fits: more than the main stream
}

// Access the run holds folders with; none of it lets another program
// delete, rename or write to the folder meanwhile (see sharedFolderAccess).
constexpr DWORD sourceFolderAccess = FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | READ_CONTROL;
constexpr DWORD targetFolderAccess = FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES;
constexpr DWORD sharedFolderAccess = FILE_SHARE_READ;

// Opens the folder `path` without following a link at its own name and
// holds it in `handle`. stoppedOnLink when a link or junction is there,
// ERROR_DIRECTORY when something else is.
DWORD openRealFolder(const std::wstring &path, DWORD access, Handle &handle, BY_HANDLE_FILE_INFORMATION &info)
{
    handle.reset(::CreateFileW(toExtendedPath(path).c_str(), access, sharedFolderAccess, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!handle.valid() || !::GetFileInformationByHandle(handle.get(), &info)) {
        const DWORD code = ::GetLastError();
        handle.reset(INVALID_HANDLE_VALUE);
        return code;
    }
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return stoppedOnLink;
    if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return ERROR_DIRECTORY;
    return 0;
}

// Opens a root as the user named it (links followed: the root is theirs).
DWORD openRoot(const std::wstring &path, DWORD access, Handle &handle, BY_HANDLE_FILE_INFORMATION &info)
{
    handle.reset(::CreateFileW(toExtendedPath(path).c_str(), access,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!handle.valid() || !::GetFileInformationByHandle(handle.get(), &info))
        return ::GetLastError();
    return (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? 0 : ERROR_DIRECTORY;
}

// A source folder and its copy, both held open while their items are
// copied; the copy gets the folder's times and attributes once everything
// inside is written.
struct Folder {
    Folder(Run &run, std::wstring source, std::wstring target)
        : run(run), source(std::move(source)), target(std::move(target))
    {
    }
    Folder(const Folder &) = delete;
    Folder &operator=(const Folder &) = delete;

    Run &run;
    std::wstring source;
    std::wstring target;
    Handle sourceHandle;
    Handle targetHandle;
    FILE_BASIC_INFO info{};
    bool fresh = false;
    bool complete = false;
    // Names given in this folder, folded: Windows' filesystems take names
    // that differ only in case as one, and a case-sensitive source folder
    // can hold both (the walk's thread only).
    std::unordered_set<std::wstring> claimed{};

    bool claimName(const std::wstring &name)
    {
        std::wstring folded = name;
        if (!folded.empty())
            ::CharUpperBuffW(folded.data(), static_cast<DWORD>(folded.size()));
        return claimed.insert(std::move(folded)).second;
    }

    ~Folder()
    {
        if (complete && !run.halted && targetHandle.valid())
            (void)run.applyBasicInfo(run.shared, targetHandle.get(), info, target);
    }
};

struct Job {
    std::shared_ptr<Folder> folder;
    std::wstring name;
    DWORD attributes = 0;
    DWORD reparseTag = 0;
};

std::uint64_t ticks(const FILETIME &time)
{
    return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// Removes temporary files that an interrupted run left in target folder
// `folder`: items with the temporary form whose name the source folder
// `source` does not hold (a source item of that name is copied instead).
void removeLeftovers(const std::wstring &folder, const std::wstring &source)
{
    WIN32_FIND_DATAW data;
    const std::wstring pattern = toExtendedPath(join(folder, wide(std::string(temporaryPrefix)) + L"*"));
    HANDLE find = ::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0);
    if (find == INVALID_HANDLE_VALUE)
        return;
    do {
        if (!isTemporaryName(narrow(data.cFileName))
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
    } while (::FindNextFileW(find, &data));
    ::FindClose(find);
}

// Creates (or merges into) the copy of a folder. A link or file of that name
// in the target is replaced, never followed.
DWORD makeFolder(const std::wstring &target, bool &fresh)
{
    const std::wstring path = toExtendedPath(target);
    fresh = ::CreateDirectoryW(path.c_str(), nullptr) != 0;
    if (fresh)
        return 0;
    const DWORD code = ::GetLastError();
    if (code != ERROR_ALREADY_EXISTS)
        return code;
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return ::GetLastError();
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        if (attributes & FILE_ATTRIBUTE_READONLY)
            ::SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
        return 0;
    }
    ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    const BOOL removed = (attributes & FILE_ATTRIBUTE_DIRECTORY) ? ::RemoveDirectoryW(path.c_str())
                                                                 : ::DeleteFileW(path.c_str());
    if (!removed || !::CreateDirectoryW(path.c_str(), nullptr))
        return ::GetLastError();
    fresh = true;
    return 0;
}

// Puts a finished temporary item in place of `target`, read-only earlier copy included.
DWORD replace(const std::wstring &temporary, const std::wstring &target)
{
    const std::wstring from = toExtendedPath(temporary);
    const std::wstring to = toExtendedPath(target);
    if (::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING))
        return 0;
    DWORD code = ::GetLastError();
    if (code == ERROR_ACCESS_DENIED) {
        const DWORD attributes = ::GetFileAttributesW(to.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)
            && ::SetFileAttributesW(to.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)
            && ::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING))
            return 0;
        code = ::GetLastError();
    }
    return code;
}

// How a file's data went: the first error and on which side, and the bytes written.
struct Transfer {
    DWORD code = 0;
    bool sourceSide = false;
    std::uint64_t bytes = 0;
    faults::Faults *planted = faults::active();
};

// Copies from `input`'s position to `output`'s, `length` bytes or (when
// `toEnd`) up to the end of the input.
void copyRange(HANDLE input, HANDLE output, std::uint64_t length, bool toEnd, Transfer &transfer)
{
    thread_local std::unique_ptr<char[]> buffer{new char[bufferSize]};
    while (transfer.code == 0 && (toEnd || length > 0)) {
        const DWORD wanted = toEnd ? bufferSize : static_cast<DWORD>(std::min<std::uint64_t>(bufferSize, length));
        DWORD got = 0;
        if (!::ReadFile(input, buffer.get(), wanted, &got, nullptr)) {
            transfer.code = ::GetLastError();
            transfer.sourceSide = true;
            return;
        }
        if (got == 0) {
            if (!toEnd) { // shorter than its allocated ranges: the file shrank meanwhile
                transfer.code = ERROR_HANDLE_EOF;
                transfer.sourceSide = true;
            }
            return;
        }
        length -= toEnd ? 0 : got;
        DWORD done = 0;
        while (done < got) {
            DWORD want = got - done;
            if (transfer.planted != nullptr) {
                want = static_cast<DWORD>(faults::takeFromBudget(*transfer.planted, want));
                if (want == 0) {
                    transfer.code = static_cast<DWORD>(faults::systemError(transfer.planted->writeError));
                    return;
                }
            }
            DWORD put = 0;
            if (!::WriteFile(output, buffer.get() + done, want, &put, nullptr)) {
                transfer.code = ::GetLastError();
                return;
            }
            if (put == 0) {
                transfer.code = ERROR_DISK_FULL;
                return;
            }
            done += put;
            transfer.bytes += put;
        }
    }
}

// The allocated ranges of the first `size` bytes of a sparse file; false
// when the filesystem cannot tell them.
bool allocatedRanges(HANDLE input, std::uint64_t size, std::vector<FILE_ALLOCATED_RANGE_BUFFER> &ranges)
{
    FILE_ALLOCATED_RANGE_BUFFER query{};
    query.Length.QuadPart = static_cast<LONGLONG>(size);
    std::vector<FILE_ALLOCATED_RANGE_BUFFER> chunk(256);
    while (query.Length.QuadPart > 0) {
        DWORD got = 0;
        const BOOL all = ::DeviceIoControl(input, FSCTL_QUERY_ALLOCATED_RANGES, &query, sizeof query, chunk.data(),
                                           static_cast<DWORD>(chunk.size() * sizeof chunk[0]), &got, nullptr);
        if (!all && ::GetLastError() != ERROR_MORE_DATA)
            return false;
        const std::size_t count = got / sizeof chunk[0];
        ranges.insert(ranges.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(count));
        if (all || count == 0)
            return true;
        const LONGLONG next = chunk[count - 1].FileOffset.QuadPart + chunk[count - 1].Length.QuadPart;
        query.Length.QuadPart -= next - query.FileOffset.QuadPart;
        query.FileOffset.QuadPart = next;
    }
    return true;
}

// Copies a file's data. A sparse file stays sparse where the destination
// can hold it: only its allocated ranges are written, the holes between
// them are left to the filesystem.
void copyData(HANDLE input, HANDLE output, const BY_HANDLE_FILE_INFORMATION &info, Transfer &transfer)
{
    const std::uint64_t size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    std::vector<FILE_ALLOCATED_RANGE_BUFFER> ranges;
    DWORD ignored = 0;
    const bool sparse = (info.dwFileAttributes & FILE_ATTRIBUTE_SPARSE_FILE) && allocatedRanges(input, size, ranges)
        && ::DeviceIoControl(output, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &ignored, nullptr);
    if (!sparse) {
        copyRange(input, output, 0, true, transfer);
        return;
    }
    for (const auto &range : ranges) {
        if (static_cast<std::uint64_t>(range.FileOffset.QuadPart) >= size)
            break;
        const std::uint64_t length
            = std::min<std::uint64_t>(static_cast<std::uint64_t>(range.Length.QuadPart),
                                      size - static_cast<std::uint64_t>(range.FileOffset.QuadPart));
        if (!::SetFilePointerEx(input, range.FileOffset, nullptr, FILE_BEGIN)) {
            transfer.code = ::GetLastError();
            transfer.sourceSide = true;
            return;
        }
        if (!::SetFilePointerEx(output, range.FileOffset, nullptr, FILE_BEGIN)) {
            transfer.code = ::GetLastError();
            return;
        }
        copyRange(input, output, length, false, transfer);
        if (transfer.code != 0)
            return;
    }
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(size);
    if (!::SetFilePointerEx(output, end, nullptr, FILE_BEGIN) || !::SetEndOfFile(output))
        transfer.code = ::GetLastError();
}

// Tells the names waiting for a file's first copy where it is, or that it
// failed (then the next name copies the data), however the copy ends.
class FirstCopy final {
public:
    FirstCopy(Run &run, const windows::HardLinks::Key &key) : m_run(run), m_key(key) {}
    FirstCopy(const FirstCopy &) = delete;
    FirstCopy &operator=(const FirstCopy &) = delete;
    ~FirstCopy()
    {
        if (m_expected)
            m_run.hardLinks.finished(m_key, {});
    }
    void expect() { m_expected = true; }
    void made(const std::wstring &copy)
    {
        if (m_expected)
            m_run.hardLinks.finished(m_key, copy);
        m_expected = false;
    }

private:
    Run &m_run;
    windows::HardLinks::Key m_key;
    bool m_expected = false;
};

class Copier final {
public:
    explicit Copier(Run &run) : m_run(run), m_queue(2048) {}

    void copyItem(const Job &job, Result &result)
    {
        const std::wstring source = join(job.folder->source, job.name);
        const std::wstring target = join(job.folder->target, job.name);
        if (job.attributes & FILE_ATTRIBUTE_REPARSE_POINT)
            copyReparsePoint(source, target, job.attributes, result);
        else
            copyFile(*job.folder, source, target, result);
    }

    void copyFile(const Folder &folder, const std::wstring &source, const std::wstring &target, Result &result)
    {
        Handle input(::CreateFileW(toExtendedPath(source).c_str(), GENERIC_READ,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (!input.valid()) {
            m_run.fail(result, source, "open", ::GetLastError(), false);
            return;
        }
        BY_HANDLE_FILE_INFORMATION info{};
        if (!::GetFileInformationByHandle(input.get(), &info)) {
            m_run.fail(result, source, "read information", ::GetLastError(), false);
            return;
        }
        if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) { // became a link since it was listed
            (void)input.close();
            copyReparsePoint(source, target, info.dwFileAttributes, result);
            return;
        }
        const windows::HardLinks::Key key{info.dwVolumeSerialNumber,
                                          (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
        const bool linked = info.nNumberOfLinks > 1;
        if (!folder.fresh && m_run.params.skipUnchanged) {
            WIN32_FILE_ATTRIBUTE_DATA existing{};
            if (::GetFileAttributesExW(toExtendedPath(target).c_str(), GetFileExInfoStandard, &existing)
                && !(existing.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))
                && existing.nFileSizeHigh == info.nFileSizeHigh && existing.nFileSizeLow == info.nFileSizeLow) {
                const auto a = ticks(existing.ftLastWriteTime);
                const auto b = ticks(info.ftLastWriteTime);
                const std::uint64_t tolerance = m_run.fatTimes ? 20'000'000 : 0; // 2 s in 100 ns units
                if ((a > b ? a - b : b - a) <= tolerance) {
                    // A file with more names stays the copy its later names link to.
                    if (linked && m_run.hardLinks.claim(key, info.nNumberOfLinks).first)
                        m_run.hardLinks.finished(key, target);
                    ++result.unchanged;
                    m_run.progress.fileCopied(narrow(source), 0);
                    return;
                }
            }
        }
        // A file with more names: the first name copies the data, the
        // others become links to that copy.
        FirstCopy first(m_run, key);
        if (linked) {
            const auto claim = m_run.hardLinks.claim(key, info.nNumberOfLinks);
            if (claim.first)
                first.expect();
            else if (linkTo(folder, claim.firstCopy, source, target, result))
                return;
        }
        if (hasAlternateStreams(input.get()))
            m_run.note(NoteKind::AlternateStreams);
        if (hasOwnAccessRules(input.get()))
            m_run.note(NoteKind::AccessControlLists);
        std::wstring temporary;
        Handle output;
        for (int attempt = 0; attempt < 16 && !output.valid(); ++attempt) {
            temporary = join(folder.target, temporaryName());
            output.reset(::CreateFileW(toExtendedPath(temporary).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                          FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
            if (!output.valid() && ::GetLastError() != ERROR_FILE_EXISTS)
                break;
        }
        if (!output.valid()) {
            m_run.fail(result, target, "create file", ::GetLastError(), true);
            return;
        }
        Transfer transfer;
        if (faults::Faults *planted = transfer.planted; planted != nullptr && planted->readError) {
            if (const int plantedCode = planted->readError(narrow(source)); plantedCode != 0) {
                transfer.code = static_cast<DWORD>(faults::systemError(plantedCode));
                transfer.sourceSide = true;
            }
        }
        if (transfer.code == 0)
            copyData(input.get(), output.get(), info, transfer);
        DWORD code = transfer.code;
        const char *operation = transfer.sourceSide ? "read" : "write";
        // The data is complete: times and attributes the destination
        // refuses are notes, and the file is kept.
        if (code == 0 && !m_run.applyBasicInfo(result, output.get(), basicOf(info), target))
            code = ERROR_OPERATION_ABORTED;
        if (const DWORD closed = output.close(); code == 0 && closed != 0)
            code = closed;
        if (code == 0) {
            code = replace(temporary, target);
            operation = "replace";
        }
        if (code != 0) {
            ::SetFileAttributesW(toExtendedPath(temporary).c_str(), FILE_ATTRIBUTE_NORMAL);
            ::DeleteFileW(toExtendedPath(temporary).c_str());
            m_run.fail(result, transfer.sourceSide ? source : target, operation, code, !transfer.sourceSide);
            return;
        }
        first.made(target);
        ++result.files;
        result.bytes += transfer.bytes;
        m_run.progress.fileCopied(narrow(source), transfer.bytes);
    }

    // Makes `target` a hard link to `firstCopy`. False when the destination
    // cannot link (the data is then copied, and a note says so).
    bool linkTo(const Folder &folder, const std::wstring &firstCopy, const std::wstring &source,
                const std::wstring &target, Result &result)
    {
        if (m_run.hardLinksRefused.load(std::memory_order_relaxed)) {
            m_run.note(NoteKind::HardLinks);
            return false;
        }
        std::wstring temporary;
        DWORD code = ERROR_ALREADY_EXISTS;
        for (int attempt = 0; attempt < 16 && (code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS); ++attempt) {
            temporary = join(folder.target, temporaryName());
            code = ::CreateHardLinkW(toExtendedPath(temporary).c_str(), toExtendedPath(firstCopy).c_str(), nullptr)
                ? 0
                : ::GetLastError();
        }
        const char *operation = "create link";
        if (code == 0) {
            code = replace(temporary, target);
            if (code != 0) {
                operation = "replace";
                removeName(temporary, firstCopy);
            }
        }
        if (code == 0) {
            ++result.files;
            m_run.progress.fileCopied(narrow(source), 0);
            return true;
        }
        if (isDestinationFatal(code)) {
            m_run.fail(result, target, operation, code, true);
            return true;
        }
        if (code == ERROR_INVALID_FUNCTION || code == ERROR_NOT_SUPPORTED)
            m_run.hardLinksRefused.store(true, std::memory_order_relaxed);
        m_run.note(NoteKind::HardLinks);
        return false;
    }

    // Removes the name `path` of a file that keeps the name `other`: a
    // read-only file loses the attribute for the removal only.
    static void removeName(const std::wstring &path, const std::wstring &other)
    {
        const DWORD attributes = ::GetFileAttributesW(toExtendedPath(path).c_str());
        const bool readOnly = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
        if (readOnly)
            ::SetFileAttributesW(toExtendedPath(path).c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
        ::DeleteFileW(toExtendedPath(path).c_str());
        if (readOnly)
            ::SetFileAttributesW(toExtendedPath(other).c_str(), attributes);
    }

    // Links and junctions keep their reparse data, copied as it is.
    void copyReparsePoint(const std::wstring &source, const std::wstring &target, DWORD attributes, Result &result)
    {
        constexpr DWORD flags = FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS;
        Handle input(::CreateFileW(toExtendedPath(source).c_str(), GENERIC_READ,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                   flags, nullptr));
        if (!input.valid()) {
            m_run.fail(result, source, "open", ::GetLastError(), false);
            return;
        }
        std::vector<char> data(MAXIMUM_REPARSE_DATA_BUFFER_SIZE);
        DWORD size = 0;
        BY_HANDLE_FILE_INFORMATION info{};
        if (!::DeviceIoControl(input.get(), FSCTL_GET_REPARSE_POINT, nullptr, 0, data.data(),
                               static_cast<DWORD>(data.size()), &size, nullptr)
            || !::GetFileInformationByHandle(input.get(), &info)) {
            m_run.fail(result, source, "read link", ::GetLastError(), false);
            return;
        }
        const bool folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        const std::wstring temporary = join(target.substr(0, target.find_last_of(L'\\')), temporaryName());
        const std::wstring extended = toExtendedPath(temporary);
        BOOL created = folder ? ::CreateDirectoryW(extended.c_str(), nullptr)
                              : [&] {
                                    Handle file(::CreateFileW(extended.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                                              FILE_ATTRIBUTE_NORMAL, nullptr));
                                    return static_cast<BOOL>(file.valid() && file.close() == 0);
                                }();
        if (!created) {
            m_run.fail(result, target, "create link", ::GetLastError(), true);
            return;
        }
        DWORD code = 0;
        {
            Handle output(::CreateFileW(extended.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr));
            DWORD ignored = 0;
            if (!output.valid()
                || !::DeviceIoControl(output.get(), FSCTL_SET_REPARSE_POINT, data.data(), size, nullptr, 0, &ignored,
                                      nullptr)
                || !::SetFileTime(output.get(), &info.ftCreationTime, &info.ftLastAccessTime, &info.ftLastWriteTime))
                code = ::GetLastError();
        }
        if (code == 0)
            code = replace(temporary, target);
        if (code != 0) {
            if (folder)
                ::RemoveDirectoryW(extended.c_str());
            else
                ::DeleteFileW(extended.c_str());
            m_run.fail(result, target, "create link", code, true);
            return;
        }
        ++result.links;
        m_run.progress.fileCopied(narrow(source), 0);
    }

    Result runTree(std::shared_ptr<Folder> root)
    {
        const Result copied = runWithWorkers(m_queue, m_run.params.workers, [this](Result &result) { work(result); },
                                             [&](bool alone) {
                                                 m_inline = alone;
                                                 walk(std::move(root));
                                             });
        Result total = std::move(m_walkResult);
        total.merge(copied);
        return total;
    }

private:
    void work(Result &result)
    {
        while (auto job = m_queue.pop()) {
            if (m_run.cutShort()) {
                result.stopped = result.stopped || m_run.stop.load();
                continue;
            }
            copyItem(*job, result);
        }
    }

    // Depth first with the open listings in `levels`, not on the call stack:
    // the depth of the tree is the user's to choose.
    void walk(std::shared_ptr<Folder> root)
    {
        struct Level {
            std::shared_ptr<Folder> folder;
            HANDLE find = INVALID_HANDLE_VALUE;
        };
        std::vector<Level> levels;
        levels.push_back({std::move(root)});
        while (!levels.empty()) {
            if (m_run.cutShort()) {
                m_walkResult.stopped = m_walkResult.stopped || m_run.stop.load();
                break;
            }
            Level &level = levels.back();
            WIN32_FIND_DATAW data;
            bool found = false;
            if (level.find == INVALID_HANDLE_VALUE) {
                const std::wstring pattern = toExtendedPath(join(level.folder->source, L"*"));
                level.find = ::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch,
                                                nullptr, FIND_FIRST_EX_LARGE_FETCH);
                if (level.find == INVALID_HANDLE_VALUE) {
                    m_run.fail(m_walkResult, level.folder->source, "list folder", ::GetLastError(), false);
                    levels.pop_back();
                    continue;
                }
                found = true;
            } else {
                found = ::FindNextFileW(level.find, &data) != 0;
            }
            if (!found) {
                ::FindClose(level.find);
                levels.pop_back();
                continue;
            }
            const std::wstring name = data.cFileName;
            if (name == L"." || name == L"..")
                continue;
            if (!level.folder->claimName(name)) {
                m_walkResult.failures.push_back({narrow(join(level.folder->source, name)), "copy",
                                                 "another item differs from it only in upper/lower case",
                                                 static_cast<int>(ERROR_ALREADY_EXISTS)});
                continue;
            }
            const bool reparse = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
            if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !reparse) {
                if (auto child = enterFolder(level.folder, name))
                    levels.push_back({std::move(child)});
                continue;
            }
            Job job{level.folder, name, data.dwFileAttributes, reparse ? data.dwReserved0 : 0};
            if (m_inline)
                copyItem(job, m_walkResult);
            else
                m_queue.push(std::move(job));
        }
        for (auto &level : levels) {
            if (level.find != INVALID_HANDLE_VALUE)
                ::FindClose(level.find);
        }
    }

    std::shared_ptr<Folder> enterFolder(const std::shared_ptr<Folder> &parent, const std::wstring &name)
    {
        auto child = std::make_shared<Folder>(m_run, join(parent->source, name), join(parent->target, name));
        BY_HANDLE_FILE_INFORMATION info{};
        if (const DWORD code = openRealFolder(child->source, sourceFolderAccess, child->sourceHandle, info);
            code != 0) {
            if (code == stoppedOnLink) { // became a link since it was listed: copied as one
                Job job{parent, name, info.dwFileAttributes, 0};
                if (m_inline)
                    copyItem(job, m_walkResult);
                else
                    m_queue.push(std::move(job));
            } else {
                m_run.fail(m_walkResult, child->source, "read information", code, false);
            }
            return nullptr;
        }
        child->info = basicOf(info);
        if (hasOwnAccessRules(child->sourceHandle.get()))
            m_run.note(NoteKind::AccessControlLists);
        if (const DWORD code = makeFolder(child->target, child->fresh); code != 0) {
            m_run.fail(m_walkResult, child->target, "create folder", code, true);
            return nullptr;
        }
        BY_HANDLE_FILE_INFORMATION ignored{};
        if (const DWORD code = openRealFolder(child->target, targetFolderAccess, child->targetHandle, ignored);
            code != 0) {
            m_run.fail(m_walkResult, child->target, "create folder", code, true);
            return nullptr;
        }
        if (!child->fresh)
            removeLeftovers(child->target, child->source);
        ++m_walkResult.folders;
        child->complete = true;
        return child;
    }

    Run &m_run;
    JobQueue<Job> m_queue;
    Result m_walkResult;
    bool m_inline = false;
};

std::wstring normalized(const std::string &path)
{
    std::wstring result = wide(path);
    std::replace(result.begin(), result.end(), L'/', L'\\');
    while (result.size() > 3 && result.back() == L'\\')
        result.pop_back();
    return result;
}

std::wstring baseName(const std::wstring &path)
{
    const auto slash = path.find_last_of(L'\\');
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

// The name the system gives the filesystem holding `path` ("NTFS", "exFAT"...).
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

// Creates the backup folder `folder` when missing, one level only; an item
// in its place that is not a real folder is refused, never followed.
DWORD openBackupFolder(const std::wstring &folder, bool &fresh)
{
    const std::wstring path = toExtendedPath(folder);
    fresh = ::CreateDirectoryW(path.c_str(), nullptr) != 0;
    if (fresh)
        return 0;
    const DWORD code = ::GetLastError();
    if (code != ERROR_ALREADY_EXISTS)
        return code;
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return ::GetLastError();
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) || (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return ERROR_DIRECTORY;
    return 0;
}

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

bool sameText(const std::wstring &a, const std::wstring &b, std::size_t length)
{
    return ::CompareStringOrdinal(a.data(), static_cast<int>(length), b.data(), static_cast<int>(length), TRUE)
        == CSTR_EQUAL;
}

// 0 or the system's error: ERROR_INVALID_PARAMETER when `path` does not lie
// below `root` (compared by whole components) or names ".." below it.
DWORD openPlace(const std::wstring &root, const std::wstring &path, DWORD access, Place &place)
{
    std::vector<std::wstring> below;
    if (root.empty()) {
        const auto slash = path.find_last_of(L'\\');
        if (slash == std::wstring::npos) {
            place.parent = L".";
            below.push_back(path);
        } else {
            place.parent = path.substr(0, slash == 2 && path[1] == L':' ? 3 : slash);
            below.push_back(path.substr(slash + 1));
        }
    } else {
        if (path.size() < root.size() || !sameText(path, root, root.size())
            || (path.size() > root.size() && root.back() != L'\\' && path[root.size()] != L'\\'))
            return ERROR_INVALID_PARAMETER;
        place.parent = root;
        for (std::size_t start = root.size(); start < path.size();) {
            const auto slash = std::min(path.find(L'\\', start), path.size());
            if (std::wstring part = path.substr(start, slash - start); !part.empty() && part != L".")
                below.push_back(std::move(part));
            start = slash + 1;
        }
    }
    for (const auto &part : below) {
        if (part == L"..")
            return ERROR_INVALID_PARAMETER;
    }
    if (below.empty())
        return 0;
    place.name = below.back();
    below.pop_back();
    for (const auto &part : below) {
        place.parent = join(place.parent, part);
        Handle folder;
        BY_HANDLE_FILE_INFORMATION ignored{};
        if (const DWORD code = openRealFolder(place.parent, access, folder, ignored); code != 0)
            return code;
        place.held.push_back(std::move(folder));
    }
    return 0;
}

ItemFailure failureOf(const std::wstring &path, const char *operation, DWORD code)
{
    return {narrow(path), operation, errorText(code), static_cast<int>(code)};
}

} // namespace

Result NativeCopyEngine::copyTree(const Params &params, ProgressSink &progress, const std::atomic<bool> &stop)
{
    Result result;
    const std::wstring source = normalized(params.source);
    const std::wstring target = normalized(params.target);
    if (params.atDriveRoot && isDriveBookkeepingName(narrow(baseName(source)))) {
        result.skipped.push_back({narrow(source), SkipReason::SystemItem});
        return result;
    }
    if (stop.load()) {
        result.stopped = true;
        return result;
    }
    Run run{params, progress, stop};
    auto root = std::make_shared<Folder>(run, source, target);

    // The source as it is now: a folder that has become a link or junction
    // is copied as one; nothing is read through a link.
    Place from;
    BY_HANDLE_FILE_INFORMATION info{};
    DWORD code = openPlace(normalized(params.sourceRoot), source, sourceFolderAccess, from);
    if (code == 0) {
        code = from.name.empty() ? openRoot(source, sourceFolderAccess, root->sourceHandle, info)
                                 : openRealFolder(source, sourceFolderAccess, root->sourceHandle, info);
    }
    const bool isLink = code == stoppedOnLink && !from.name.empty();
    if (code != 0 && !isLink) {
        result.failures.push_back(failureOf(source, "open folder", code));
        return result;
    }
    Place to;
    if (code = openPlace(normalized(params.targetRoot), target, targetFolderAccess, to); code != 0) {
        result.destinationFailed = true;
        result.destinationFailure = failureOf(target, "open folder", code);
        return result;
    }
    if (isLink) {
        if (to.name.empty()) {
            result.failures.push_back(failureOf(source, "copy", ERROR_ALREADY_EXISTS));
            return result;
        }
        Copier copier(run);
        copier.copyReparsePoint(source, target, info.dwFileAttributes, result);
        run.collect(result);
        return result;
    }
    root->info = basicOf(info);
    BY_HANDLE_FILE_INFORMATION ignored{};
    if (to.name.empty()) {
        code = openRoot(target, targetFolderAccess, root->targetHandle, ignored);
    } else {
        code = makeFolder(target, root->fresh);
        if (code == 0)
            code = openRealFolder(target, targetFolderAccess, root->targetHandle, ignored);
    }
    if (code != 0) {
        result.destinationFailed = true;
        result.destinationFailure = failureOf(target, "create folder", code);
        return result;
    }
    if (!root->fresh)
        removeLeftovers(target, source);
    run.fatTimes = keepsFatTimes(toExtendedPath(source)) || keepsFatTimes(toExtendedPath(target));
    run.filesystem = narrow(filesystemOf(toExtendedPath(target)));
    if (hasOwnAccessRules(root->sourceHandle.get()))
        run.note(NoteKind::AccessControlLists);
    ++result.folders;
    root->complete = !to.name.empty(); // a root keeps its own times and attributes
    Copier copier(run);
    result.merge(copier.runTree(std::move(root)));
    run.collect(result);
    return result;
}

Result NativeCopyEngine::copyFile(const Params &params, ProgressSink &progress, const std::atomic<bool> &stop)
{
    Result result;
    const std::wstring source = normalized(params.source);
    const std::wstring target = normalized(params.target);
    const std::wstring name = baseName(source);
    if (params.atDriveRoot && isDriveBookkeepingName(narrow(name))) {
        result.skipped.push_back({narrow(source), SkipReason::SystemItem});
        return result;
    }
    if (stop.load()) {
        result.stopped = true;
        return result;
    }
    Place from;
    if (const DWORD code = openPlace(normalized(params.sourceRoot), source, sourceFolderAccess, from); code != 0) {
        result.failures.push_back(failureOf(source, "open folder", code));
        return result;
    }
    WIN32_FILE_ATTRIBUTE_DATA info{};
    if (from.name.empty()) {
        result.failures.push_back(failureOf(source, "copy", ERROR_DIRECTORY));
        return result;
    }
    if (!::GetFileAttributesExW(toExtendedPath(source).c_str(), GetFileExInfoStandard, &info)) {
        result.failures.push_back(failureOf(source, "read information", ::GetLastError()));
        return result;
    }
    const bool reparse = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !reparse) {
        result.failures.push_back(failureOf(source, "copy", ERROR_DIRECTORY));
        return result;
    }
    // The target is the backup folder itself: made when missing, never
    // replaced, never followed.
    Place to;
    Run run{params, progress, stop};
    auto folder = std::make_shared<Folder>(run, from.parent, target);
    DWORD code = openPlace(normalized(params.targetRoot), target, targetFolderAccess, to);
    const char *operation = "open folder";
    if (code == 0) {
        BY_HANDLE_FILE_INFORMATION ignored{};
        if (to.name.empty()) {
            code = openRoot(target, targetFolderAccess, folder->targetHandle, ignored);
        } else {
            code = openBackupFolder(target, folder->fresh);
            operation = code == 0 ? operation : "create folder";
            if (code == 0)
                code = openRealFolder(target, targetFolderAccess, folder->targetHandle, ignored);
        }
    }
    if (code != 0) {
        result.destinationFailed = true;
        result.destinationFailure = failureOf(target, operation, code);
        return result;
    }
    if (!folder->fresh)
        removeLeftovers(target, folder->source);
    run.fatTimes = keepsFatTimes(toExtendedPath(source)) || keepsFatTimes(toExtendedPath(target));
    run.filesystem = narrow(filesystemOf(toExtendedPath(target)));
    Copier copier(run);
    copier.copyItem(Job{folder, name, info.dwFileAttributes, 0}, result);
    folder.reset();
    run.collect(result);
    return result;
}

bool syncFilesystem(const std::string &path, std::string &reason)
{
    wchar_t volume[MAX_PATH + 1] = {};
    if (!::GetVolumePathNameW(toExtendedPath(wide(path)).c_str(), volume, MAX_PATH)) {
        reason = errorText(::GetLastError());
        return false;
    }
    std::wstring device = volume;
    if (device.starts_with(L"\\\\?\\"))
        device = device.substr(4);
    while (!device.empty() && device.back() == L'\\')
        device.pop_back();
    Handle handle(::CreateFileW((L"\\\\.\\" + device).c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!handle.valid()) {
        // Flushing a whole volume needs administrator rights; without them
        // the system's own write-back is all there is.
        if (::GetLastError() == ERROR_ACCESS_DENIED)
            return true;
        reason = errorText(::GetLastError());
        return false;
    }
    if (!::FlushFileBuffers(handle.get())) {
        reason = errorText(::GetLastError());
        return false;
    }
    return true;
}

} // namespace drovanta::engine
