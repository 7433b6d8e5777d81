// The engine on Windows: the same walk, temporary names and worker pool as on
// POSIX, through Win32 calls. Paths go through the extended-length form so
// that trees deeper than MAX_PATH copy; reparse points (links, junctions,
// mounted volumes) are copied as reparse points and never followed.
#include "backup/engine/CopyEngine.h"
#include "backup/engine/FaultInjection.h"
#include "backup/engine/JobQueue.h"
#include "backup/engine/LongPath.h"
#include "backup/engine/SystemItems.h"

#include <windows.h>
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

// A source folder and its copy; the copy gets the folder's times and
// attributes once everything inside is written.
struct Folder {
    Run &run;
    std::wstring source;
    std::wstring target;
    WIN32_FILE_ATTRIBUTE_DATA info{};
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
        if (!complete || run.halted)
            return;
        Handle folder(::CreateFileW(toExtendedPath(target).c_str(), FILE_WRITE_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (!folder.valid()) {
            run.fail(run.shared, target, "set times", ::GetLastError(), true);
            return;
        }
        if (!::SetFileTime(folder.get(), &info.ftCreationTime, &info.ftLastAccessTime, &info.ftLastWriteTime))
            run.metadataFailed(run.shared, target, "set times", ::GetLastError(), NoteKind::Times);
        (void)folder.close();
        if (!::SetFileAttributesW(toExtendedPath(target).c_str(), info.dwFileAttributes & keptAttributes))
            run.metadataFailed(run.shared, target, "set attributes", ::GetLastError(), NoteKind::OwnersAndPermissions);
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
        if (!folder.fresh && m_run.params.skipUnchanged) {
            WIN32_FILE_ATTRIBUTE_DATA existing{};
            if (::GetFileAttributesExW(toExtendedPath(target).c_str(), GetFileExInfoStandard, &existing)
                && !(existing.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))
                && existing.nFileSizeHigh == info.nFileSizeHigh && existing.nFileSizeLow == info.nFileSizeLow) {
                const auto a = ticks(existing.ftLastWriteTime);
                const auto b = ticks(info.ftLastWriteTime);
                const std::uint64_t tolerance = m_run.fatTimes ? 20'000'000 : 0; // 2 s in 100 ns units
                if ((a > b ? a - b : b - a) <= tolerance) {
                    ++result.unchanged;
                    m_run.progress.fileCopied(narrow(source), 0);
                    return;
                }
            }
        }
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
        DWORD code = 0;
        bool sourceSide = false;
        const char *operation = "write";
        std::uint64_t bytes = 0;
        faults::Faults *planted = faults::active();
        if (planted != nullptr && planted->readError) {
            if (const int plantedCode = planted->readError(narrow(source)); plantedCode != 0) {
                code = static_cast<DWORD>(faults::systemError(plantedCode));
                sourceSide = true;
            }
        }
        thread_local std::unique_ptr<char[]> buffer{new char[bufferSize]};
        while (code == 0) {
            DWORD got = 0;
            if (!::ReadFile(input.get(), buffer.get(), bufferSize, &got, nullptr)) {
                code = ::GetLastError();
                sourceSide = true;
                break;
            }
            if (got == 0)
                break;
            DWORD done = 0;
            while (done < got) {
                DWORD want = got - done;
                if (planted != nullptr) {
                    want = static_cast<DWORD>(faults::takeFromBudget(*planted, want));
                    if (want == 0) {
                        code = static_cast<DWORD>(faults::systemError(planted->writeError));
                        break;
                    }
                }
                DWORD put = 0;
                if (!::WriteFile(output.get(), buffer.get() + done, want, &put, nullptr)) {
                    code = ::GetLastError();
                    break;
                }
                if (put == 0) {
                    code = ERROR_DISK_FULL;
                    break;
                }
                done += put;
                bytes += put;
            }
        }
        if (sourceSide)
            operation = "read";
        // The data is complete: times and attributes the destination
        // refuses are notes, and the file is kept.
        if (code == 0
            && !::SetFileTime(output.get(), &info.ftCreationTime, &info.ftLastAccessTime, &info.ftLastWriteTime)) {
            m_run.metadataFailed(result, target, "set times", ::GetLastError(), NoteKind::Times);
            if (m_run.halted)
                code = ERROR_OPERATION_ABORTED;
        }
        if (const DWORD closed = output.close(); code == 0 && closed != 0)
            code = closed;
        if (code == 0 && !::SetFileAttributesW(toExtendedPath(temporary).c_str(),
                                               (info.dwFileAttributes & keptAttributes) | FILE_ATTRIBUTE_NORMAL)) {
            m_run.metadataFailed(result, target, "set attributes", ::GetLastError(), NoteKind::OwnersAndPermissions);
            if (m_run.halted)
                code = ERROR_OPERATION_ABORTED;
        }
        if (code == 0) {
            code = replace(temporary, target);
            operation = "replace";
        }
        if (code != 0) {
            ::SetFileAttributesW(toExtendedPath(temporary).c_str(), FILE_ATTRIBUTE_NORMAL);
            ::DeleteFileW(toExtendedPath(temporary).c_str());
            m_run.fail(result, sourceSide ? source : target, operation, code, !sourceSide);
            return;
        }
        ++result.files;
        result.bytes += bytes;
        m_run.progress.fileCopied(narrow(source), bytes);
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
        auto child = std::make_shared<Folder>(Folder{m_run, join(parent->source, name), join(parent->target, name)});
        if (!::GetFileAttributesExW(toExtendedPath(child->source).c_str(), GetFileExInfoStandard, &child->info)) {
            m_run.fail(m_walkResult, child->source, "read information", ::GetLastError(), false);
            child->complete = false;
            return nullptr;
        }
        if (const DWORD code = makeFolder(child->target, child->fresh); code != 0) {
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
    auto root = std::make_shared<Folder>(Folder{run, source, target});
    if (!::GetFileAttributesExW(toExtendedPath(source).c_str(), GetFileExInfoStandard, &root->info)) {
        const DWORD code = ::GetLastError();
        result.failures.push_back({narrow(source), "open folder", errorText(code), static_cast<int>(code)});
        return result;
    }
    if (root->info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        // The folder has become a link or junction: copied as one, never
        // followed.
        Copier copier(run);
        copier.copyReparsePoint(source, target, root->info.dwFileAttributes, result);
        result.merge(run.shared);
        return result;
    }
    if (const DWORD code = makeFolder(target, root->fresh); code != 0) {
        result.destinationFailed = true;
        result.destinationFailure = {narrow(target), "create folder", errorText(code), static_cast<int>(code)};
        return result;
    }
    if (!root->fresh)
        removeLeftovers(target, source);
    run.fatTimes = keepsFatTimes(toExtendedPath(source)) || keepsFatTimes(toExtendedPath(target));
    run.filesystem = narrow(filesystemOf(toExtendedPath(target)));
    ++result.folders;
    root->complete = true;
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
    WIN32_FILE_ATTRIBUTE_DATA info{};
    if (!::GetFileAttributesExW(toExtendedPath(source).c_str(), GetFileExInfoStandard, &info)) {
        const DWORD code = ::GetLastError();
        result.failures.push_back({narrow(source), "read information", errorText(code), static_cast<int>(code)});
        return result;
    }
    const bool reparse = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !reparse) {
        result.failures.push_back({narrow(source), "copy", errorText(ERROR_DIRECTORY), ERROR_DIRECTORY});
        return result;
    }
    Run run{params, progress, stop};
    auto folder = std::make_shared<Folder>(Folder{run, source.substr(0, source.size() - name.size()), target});
    if (const DWORD code = openBackupFolder(target, folder->fresh); code != 0) {
        result.destinationFailed = true;
        result.destinationFailure = {narrow(target), "create folder", errorText(code), static_cast<int>(code)};
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
