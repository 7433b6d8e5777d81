#include "platform/StdFolderFacts.h"

#include "platform/Failure.h"

#include <filesystem>
#include <set>
#include <system_error>
#include <utility>

#ifdef _WIN32
#include "platform/windows/WideText.h"

#include <windows.h>

#include <unordered_map>
#include <vector>
#else
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>
#endif

namespace fs = std::filesystem;

namespace drovanta::platform {
namespace {

std::string describe(const std::string &what, const std::string &path, const std::string &reason)
{
    return what + " '" + path + "': " + reason;
}

// `folder` below `source` (or equal to it), compared by whole path parts.
bool isWithin(const fs::path &source, const fs::path &folder)
{
    auto s = source.begin();
    auto f = folder.begin();
    for (; s != source.end(); ++s, ++f) {
        // A root's trailing separator leaves an empty last part.
        if (s->empty())
            continue;
        if (f == folder.end() || *s != *f)
            return false;
    }
    return true;
}

#ifndef _WIN32
struct stat statOf(const std::string &path)
{
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        throw Failure(describe("Cannot read the information of", path, std::strerror(errno)));
    return info;
}

// A descriptor closed when it goes out of scope.
class Descriptor final {
public:
    explicit Descriptor(int fd = -1) : m_fd(fd) {}
    Descriptor(Descriptor &&other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    Descriptor &operator=(Descriptor &&other) noexcept
    {
        std::swap(m_fd, other.m_fd);
        return *this;
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    ~Descriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    [[nodiscard]] int get() const { return m_fd; }

private:
    int m_fd;
};

// Folders along the count's path that stay open; deeper trees close the
// levels above them and open them again through ".." on the way back.
constexpr std::size_t openLevels = 64;

struct Level {
    Descriptor folder; // -1 while closed
    struct stat info {};
    std::vector<std::string> subFolders; // on the same filesystem, still to visit
    std::size_t next = 0;
};

// Files with several names counted so far, by device and inode; only those,
// so that the memory stays small however many files a tree holds.
using LinkedFiles = std::set<std::pair<dev_t, ino_t>>;

// Adds the allocated bytes of the regular files directly in `fd` to `total`
// and returns its sub-folders on filesystem `device`. Returns false when the
// folder cannot be listed.
bool listFolder(int fd, dev_t device, std::uint64_t &total, LinkedFiles &linked, std::vector<std::string> &subFolders)
{
    const int own = ::openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *stream = own < 0 ? nullptr : ::fdopendir(own);
    if (stream == nullptr) {
        if (own >= 0)
            ::close(own);
        return false;
    }
    while (const dirent *entry = ::readdir(stream)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
            continue;
        struct stat info {};
        if (::fstatat(fd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        // What the copy will take: the blocks a file has (a sparse file's
        // holes take none), and a file with several names once, since the
        // backup keeps its names as links.
        if (S_ISREG(info.st_mode) && (info.st_nlink == 1 || linked.emplace(info.st_dev, info.st_ino).second))
            total += static_cast<std::uint64_t>(info.st_blocks) * 512;
        else if (S_ISDIR(info.st_mode) && info.st_dev == device)
            subFolders.emplace_back(entry->d_name);
    }
    ::closedir(stream);
    return true;
}

// One level of the walk that measures what a sharing backup must write: the
// source folder and the same folder in the earlier backup and in today's
// (each -1 when missing or closed), with their identities for reopening.
struct HistoryLevel {
    Descriptor folders[3]; // source, earlier, today
    struct stat info[3] {};
    std::vector<std::string> subFolders;
    std::size_t next = 0;
};

bool sameFile(const struct stat &a, const struct stat &b, bool compareOwner)
{
    return S_ISREG(b.st_mode) && a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec
        && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec && (a.st_mode & 07777) == (b.st_mode & 07777)
        && (!compareOwner || (a.st_uid == b.st_uid && a.st_gid == b.st_gid));
}

// Counts the files directly in level's source folder that must be written
// and lists its sub-folders on filesystem `device`. False when the folder
// cannot be listed.
bool measureFolder(HistoryLevel &level, dev_t device, bool compareOwner, std::uint64_t &total)
{
    const int fd = level.folders[0].get();
    const int own = ::openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *stream = own < 0 ? nullptr : ::fdopendir(own);
    if (stream == nullptr) {
        if (own >= 0)
            ::close(own);
        return false;
    }
    while (const dirent *entry = ::readdir(stream)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
            continue;
        struct stat info {};
        if (::fstatat(fd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if (S_ISDIR(info.st_mode)) {
            if (info.st_dev == device)
                level.subFolders.emplace_back(entry->d_name);
            continue;
        }
        if (!S_ISREG(info.st_mode))
            continue;
        bool written = false;
        for (int side = 2; side >= 1 && !written; --side) {
            struct stat copy {};
            written = level.folders[side].get() >= 0
                && ::fstatat(level.folders[side].get(), entry->d_name, &copy, AT_SYMLINK_NOFOLLOW) == 0
                && sameFile(info, copy, compareOwner);
        }
        if (!written)
            total += static_cast<std::uint64_t>(info.st_blocks) * 512;
    }
    ::closedir(stream);
    return true;
}

// Whether the filesystem of folder `fd` gives a file a second name: a probe
// file is made, linked and removed again.
bool makesSecondNames(int fd)
{
    const std::string name = ".drovanta-link-probe-" + std::to_string(::getpid());
    const std::string second = name + "-2";
    Descriptor probe(::openat(fd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (probe.get() < 0)
        return false;
    const bool linked = ::linkat(fd, name.c_str(), fd, second.c_str(), 0) == 0;
    if (linked)
        (void)::unlinkat(fd, second.c_str(), 0);
    (void)::unlinkat(fd, name.c_str(), 0);
    return linked;
}
#endif

#ifdef _WIN32
// `path` in the extended-length form where it is a drive path, so that
// trees deeper than MAX_PATH are listed too.
std::wstring listable(const std::string &path)
{
    std::wstring result = wideText(path);
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
#endif

} // namespace

std::string StdFolderFacts::canonicalFolder(const std::string &path) const
{
    std::error_code ec;
    if (path.empty() || !fs::is_directory(path, ec))
        return {};
    const fs::path canonical = fs::canonical(path, ec);
    if (ec)
        return {};
    return canonical.string();
}

bool StdFolderFacts::isFilesystemRoot(const std::string &folder) const
{
    const fs::path path(folder);
    if (path == path.root_path())
        return true;
#ifdef _WIN32
    return false;
#else
    const struct stat own = statOf(folder);
    const struct stat parent = statOf(path.parent_path().string());
    return own.st_dev != parent.st_dev || own.st_ino == parent.st_ino;
#endif
}

bool StdFolderFacts::backupReaches(const std::string &source, const std::string &folder) const
{
    const fs::path from(source);
    const fs::path to(folder);
    if (!isWithin(from, to))
        return false;
#ifndef _WIN32
    // The copier hands every top-level folder to the engine as a tree of its
    // own, whatever is mounted there; below that the engine stays on one
    // filesystem.
    const fs::path relative = to.lexically_relative(from);
    fs::path current = from;
    bool topLevel = true;
    for (const auto &part : relative) {
        if (part.empty() || part == ".")
            continue;
        const fs::path next = current / part;
        if (!topLevel && statOf(next.string()).st_dev != statOf(current.string()).st_dev)
            return false;
        topLevel = false;
        current = next;
    }
#endif
    return true;
}

std::uint64_t StdFolderFacts::contentBytes(const std::string &folder) const
{
#ifdef _WIN32
    std::uint64_t total = 0;
    std::error_code ec;
    fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec);
    if (ec)
        throw Failure(describe("Cannot list folder", folder, ec.message()));
    for (const fs::recursive_directory_iterator end; it != end; it.increment(ec)) {
        std::error_code typeError;
        if (it->symlink_status(typeError).type() == fs::file_type::regular)
            total += it->file_size(typeError);
    }
    return total;
#else
    // Depth first with the path in `levels`, not on the call stack: the
    // depth of the tree is the user's to choose.
    Descriptor root(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat rootInfo {};
    if (root.get() < 0 || ::fstat(root.get(), &rootInfo) != 0)
        throw Failure(describe("Cannot list folder", folder, std::strerror(errno)));
    std::uint64_t total = 0;
    std::vector<Level> levels(1);
    LinkedFiles linked;
    if (!listFolder(root.get(), rootInfo.st_dev, total, linked, levels[0].subFolders))
        throw Failure(describe("Cannot list folder", folder, std::strerror(errno)));
    levels[0].folder = std::move(root);
    levels[0].info = rootInfo;
    while (!levels.empty()) {
        Level &level = levels.back();
        if (level.next == level.subFolders.size()) {
            // Back up: the level above is opened again through ".." when it
            // was closed, and must still be the same folder; one that moved
            // in the meantime counts as empty from here on.
            if (levels.size() > 1 && levels[levels.size() - 2].folder.get() < 0) {
                Level &above = levels[levels.size() - 2];
                Descriptor parent(level.folder.get() < 0
                                      ? -1
                                      : ::openat(level.folder.get(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
                struct stat info {};
                if (parent.get() >= 0 && ::fstat(parent.get(), &info) == 0 && info.st_dev == above.info.st_dev
                    && info.st_ino == above.info.st_ino)
                    above.folder = std::move(parent);
                else
                    above.next = above.subFolders.size();
            }
            levels.pop_back();
            continue;
        }
        const std::string &name = level.subFolders[level.next++];
        Level child;
        child.folder = Descriptor(
            ::openat(level.folder.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (child.folder.get() < 0 || ::fstat(child.folder.get(), &child.info) != 0
            || child.info.st_dev != rootInfo.st_dev
            || !listFolder(child.folder.get(), rootInfo.st_dev, total, linked, child.subFolders))
            continue; // unreadable: counts as empty
        levels.push_back(std::move(child));
        if (levels.size() > openLevels + 1)
            levels[levels.size() - openLevels - 1].folder = Descriptor();
    }
    return total;
#endif
}

std::uint64_t StdFolderFacts::bytesToWrite(const std::string &source, const std::string &earlier,
                                           const std::string &today) const
{
#ifdef _WIN32
    // As on POSIX below: a file whose copy today's folder or the earlier
    // backup already holds is not written; links, junctions and mounted
    // volumes are not entered.
    constexpr std::uint64_t folderBlock = 4096;
    const std::wstring roots[3] = {listable(source), listable(earlier), listable(today)};
    const std::wstring destinationRoot = listable(fs::path(earlier).parent_path().string());
    const bool sharing = !earlier.empty() && makesSecondNames(destinationRoot);
    std::uint64_t total = 0;
    {
        const DWORD attributes = ::GetFileAttributesW(roots[2].c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
            total += folderBlock;
    }
    std::vector<std::wstring> pending{L""}; // folders below the source still to measure
    bool first = true;
    while (!pending.empty()) {
        const std::wstring below = std::move(pending.back());
        pending.pop_back();
        Listing listings[3];
        if (!listFolder(roots[0] + below, listings[0])) {
            if (first)
                throw Failure(describe("Cannot list folder", source,
                                       std::error_code(static_cast<int>(::GetLastError()), std::system_category())
                                           .message()));
            continue; // unreadable: counts as empty
        }
        first = false;
        if (sharing)
            (void)listFolder(roots[1] + below, listings[1]);
        (void)listFolder(roots[2] + below, listings[2]);
        for (const auto &[name, file] : listings[0]) {
            if (file.attributes & FILE_ATTRIBUTE_REPARSE_POINT)
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
                const auto copy = listings[side].find(name);
                written = copy != listings[side].end() && sameFile(file, copy->second);
            }
            if (!written)
                total += file.size;
        }
    }
    return total;
#else
    constexpr std::uint64_t folderBlock = 4096;
    constexpr int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
    HistoryLevel first;
    first.folders[0] = Descriptor(::open(source.c_str(), flags));
    if (first.folders[0].get() < 0 || ::fstat(first.folders[0].get(), &first.info[0]) != 0)
        throw Failure(describe("Cannot list folder", source, std::strerror(errno)));
    // The earlier backup and today's folder are named as the copier names
    // them: below the destination root nothing is followed.
    first.folders[1] = Descriptor(::open(earlier.c_str(), flags | O_NOFOLLOW));
    first.folders[2] = Descriptor(::open(today.c_str(), flags | O_NOFOLLOW));
    const fs::path destinationRoot = fs::path(earlier).parent_path();
    {
        const Descriptor root(::open(destinationRoot.c_str(), flags));
        if (root.get() < 0 || !makesSecondNames(root.get()))
            first.folders[1] = Descriptor();
    }
    for (int side = 1; side < 3; ++side) {
        if (first.folders[side].get() >= 0 && ::fstat(first.folders[side].get(), &first.info[side]) != 0)
            first.folders[side] = Descriptor();
    }
    const dev_t device = first.info[0].st_dev;
    const bool compareOwner = ::geteuid() == 0;
    std::uint64_t total = first.folders[2].get() < 0 ? folderBlock : 0;
    if (!measureFolder(first, device, compareOwner, total))
        throw Failure(describe("Cannot list folder", source, std::strerror(errno)));
    std::vector<HistoryLevel> levels;
    levels.push_back(std::move(first));
    // Depth first with the path in `levels`, not on the call stack; levels
    // far above the deepest are closed and opened again through "..".
    while (!levels.empty()) {
        HistoryLevel &level = levels.back();
        if (level.next == level.subFolders.size()) {
            if (levels.size() > 1 && levels[levels.size() - 2].folders[0].get() < 0) {
                HistoryLevel &above = levels[levels.size() - 2];
                for (int side = 0; side < 3; ++side) {
                    Descriptor parent(level.folders[side].get() < 0
                                          ? -1
                                          : ::openat(level.folders[side].get(), "..", flags));
                    struct stat info {};
                    if (parent.get() >= 0 && ::fstat(parent.get(), &info) == 0
                        && info.st_dev == above.info[side].st_dev && info.st_ino == above.info[side].st_ino)
                        above.folders[side] = std::move(parent);
                }
                if (above.folders[0].get() < 0)
                    above.next = above.subFolders.size(); // moved meanwhile: counts as empty from here on
            }
            levels.pop_back();
            continue;
        }
        const std::string &name = level.subFolders[level.next++];
        HistoryLevel child;
        for (int side = 0; side < 3; ++side) {
            if (level.folders[side].get() < 0)
                continue;
            child.folders[side] =
                Descriptor(::openat(level.folders[side].get(), name.c_str(), flags | O_NOFOLLOW));
            if (child.folders[side].get() >= 0 && ::fstat(child.folders[side].get(), &child.info[side]) != 0)
                child.folders[side] = Descriptor();
        }
        if (child.folders[0].get() < 0 || child.info[0].st_dev != device)
            continue; // unreadable: counts as empty
        if (child.folders[2].get() < 0)
            total += folderBlock;
        if (!measureFolder(child, device, compareOwner, total))
            continue;
        levels.push_back(std::move(child));
        if (levels.size() > openLevels + 1) {
            for (auto &folder : levels[levels.size() - openLevels - 1].folders)
                folder = Descriptor();
        }
    }
    return total;
#endif
}

std::uint64_t StdFolderFacts::availableBytes(const std::string &path) const
{
#ifdef _WIN32
    std::error_code ec;
    const fs::space_info space = fs::space(path, ec);
    if (ec)
        throw Failure(describe("Cannot read the free space of", path, ec.message()));
    return space.available;
#else
    struct statvfs info {};
    if (::statvfs(path.c_str(), &info) != 0)
        throw Failure(describe("Cannot read the free space of", path, std::strerror(errno)));
    return static_cast<std::uint64_t>(info.f_bavail) * static_cast<std::uint64_t>(info.f_frsize);
#endif
}

std::uint64_t StdFolderFacts::usedBytes(const std::string &path) const
{
#ifdef _WIN32
    std::error_code ec;
    const fs::space_info space = fs::space(path, ec);
    if (ec)
        throw Failure(describe("Cannot read the used space of", path, ec.message()));
    return space.capacity > space.free ? space.capacity - space.free : 0;
#else
    struct statvfs info {};
    if (::statvfs(path.c_str(), &info) != 0)
        throw Failure(describe("Cannot read the used space of", path, std::strerror(errno)));
    const std::uint64_t blocks = info.f_blocks > info.f_bfree ? info.f_blocks - info.f_bfree : 0;
    return blocks * static_cast<std::uint64_t>(info.f_frsize);
#endif
}

} // namespace drovanta::platform
