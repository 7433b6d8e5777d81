#include "EngineTestSupport.h"
#include "PosixTestSupport.h"

#include "engine/SystemItems.h"

#include <cstdint>
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/xattr.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <vector>

namespace drovanta::engine::testing {

namespace {

std::vector<std::pair<std::string, unsigned char>> entriesOf(int folderFd)
{
    std::vector<std::pair<std::string, unsigned char>> entries;
    const int fd = ::openat(folderFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return entries;
    DIR *stream = ::fdopendir(fd);
    if (stream == nullptr) {
        ::close(fd);
        return entries;
    }
    while (const dirent *entry = ::readdir(stream)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            entries.emplace_back(name, entry->d_type);
    }
    ::closedir(stream);
    std::sort(entries.begin(), entries.end());
    return entries;
}

std::string readAll(int fd)
{
    std::string content;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        content.append(buffer, static_cast<std::size_t>(n));
    }
    return content;
}

// Whether two files hold the same bytes, read piece by piece. Only the
// source's data regions are read: its holes are zeros wherever the copy has
// them, and a 10 GiB disk image is compared in no time.
bool sameContent(int source, int copy)
{
    std::vector<char> a(1 << 20);
    std::vector<char> b(1 << 20);
    const off_t size = ::lseek(source, 0, SEEK_END);
    if (size < 0 || ::lseek(copy, 0, SEEK_END) != size)
        return false;
    for (off_t offset = 0; offset < size;) {
        off_t data = ::lseek(source, offset, SEEK_DATA);
        if (data < 0)
            return true; // a hole up to the end
        const off_t hole = ::lseek(source, data, SEEK_HOLE);
        for (off_t at = data; at < hole;) {
            const auto want = static_cast<std::size_t>(std::min<off_t>(hole - at, static_cast<off_t>(a.size())));
            const ssize_t x = ::pread(source, a.data(), want, at);
            if (x <= 0 || ::pread(copy, b.data(), static_cast<std::size_t>(x), at) != x
                || std::memcmp(a.data(), b.data(), static_cast<std::size_t>(x)) != 0)
                return false;
            at += x;
        }
        offset = hole;
    }
    return true;
}

std::string readLinkAt(int folderFd, const std::string &name)
{
    char buffer[8192];
    const ssize_t n = ::readlinkat(folderFd, name.c_str(), buffer, sizeof buffer);
    return n < 0 ? std::string("<unreadable>") : std::string(buffer, static_cast<std::size_t>(n));
}

std::string timeText(const timespec &t)
{
    return std::to_string(t.tv_sec) + "." + std::to_string(t.tv_nsec);
}

// Every extended attribute (ACLs included) with its value, read through `fd`.
std::map<std::string, std::string> attributesOf(int fd)
{
    std::map<std::string, std::string> attributes;
    std::vector<char> names(65536);
    const ssize_t size = ::flistxattr(fd, names.data(), names.size());
    for (ssize_t at = 0; at < size;) {
        const std::string name(names.data() + at);
        at += static_cast<ssize_t>(name.size()) + 1;
        std::vector<char> value(65536);
        const ssize_t length = ::fgetxattr(fd, name.c_str(), value.data(), value.size());
        if (name != "security.selinux" && length >= 0)
            attributes[name] = std::string(value.data(), static_cast<std::size_t>(length));
    }
    return attributes;
}

// Compares two trees level by level with the path in `levels`, not on the
// call stack, so that trees of any depth compare (two descriptors per level:
// deeper than the descriptor limit, a level is reported as not opened).
// Only names are kept per level; full paths are made for reports.
struct Comparison {
    const std::vector<std::string> &absent;
    bool partial;
    std::vector<std::string> differences;
    // The copy of each source file with several names, by the source's inode.
    std::map<std::pair<dev_t, ino_t>, ino_t> linkedCopies;

    void compareAttributes(int x, int y, const std::string &copyPath)
    {
        if (attributesOf(x) != attributesOf(y))
            differences.push_back("extended attributes: " + copyPath);
    }

    struct Level {
        int source = -1;
        int copy = -1;
        std::string name;
        std::vector<std::pair<std::string, unsigned char>> sourceEntries;
        std::size_t next = 0;
        std::map<std::string, bool> copyNames;
    };
    std::string sourceRoot;
    std::string copyRoot;
    std::vector<Level> levels;

    std::string pathOf(bool copy, const std::string &name) const
    {
        std::string path = copy ? copyRoot : sourceRoot;
        for (std::size_t i = 1; i < levels.size(); ++i)
            path += "/" + levels[i].name;
        return path + "/" + name;
    }

    void push(int source, int copy, const std::string &name)
    {
        Level level;
        level.source = source;
        level.copy = copy;
        level.name = name;
        level.sourceEntries = entriesOf(source);
        for (const auto &[copyName, type] : entriesOf(copy)) {
            (void)type;
            if (!isTemporaryName(copyName) || !partial)
                level.copyNames[copyName] = false;
        }
        levels.push_back(std::move(level));
    }

    void run(int source, int copy)
    {
        push(source, copy, {});
        while (!levels.empty()) {
            Level &level = levels.back();
            if (level.next == level.sourceEntries.size()) {
                for (const auto &[name, seen] : level.copyNames) {
                    if (!seen)
                        differences.push_back("extra: " + pathOf(true, name));
                }
                if (levels.size() > 1) {
                    ::close(level.source);
                    ::close(level.copy);
                }
                levels.pop_back();
                continue;
            }
            const std::string name = level.sourceEntries[level.next++].first;
            const bool expectAbsent = !absent.empty()
                && std::find(absent.begin(), absent.end(), pathOf(false, name)) != absent.end();
            const auto found = level.copyNames.find(name);
            if (found == level.copyNames.end()) {
                if (!expectAbsent && !partial)
                    differences.push_back("missing: " + pathOf(true, name));
                continue;
            }
            found->second = true;
            if (expectAbsent) {
                differences.push_back("should be absent: " + pathOf(true, name));
                continue;
            }
            compareItem(level.source, level.copy, name);
        }
    }

    void compareItem(int source, int copy, const std::string &name)
    {
        struct stat a {};
        struct stat b {};
        if (::fstatat(source, name.c_str(), &a, AT_SYMLINK_NOFOLLOW) != 0
            || ::fstatat(copy, name.c_str(), &b, AT_SYMLINK_NOFOLLOW) != 0) {
            differences.push_back("cannot stat: " + pathOf(true, name));
            return;
        }
        if ((a.st_mode & S_IFMT) != (b.st_mode & S_IFMT)) {
            differences.push_back("type: " + pathOf(true, name));
            return;
        }
        // A folder of a run cut short has not been given its mode and times.
        const bool unfinishedFolder = partial && S_ISDIR(a.st_mode);
        if (!S_ISLNK(a.st_mode) && !unfinishedFolder && (a.st_mode & 07777) != (b.st_mode & 07777))
            differences.push_back("mode: " + pathOf(true, name));
        if (::geteuid() == 0 && !unfinishedFolder && (a.st_uid != b.st_uid || a.st_gid != b.st_gid))
            differences.push_back("owner: " + pathOf(true, name));
        if ((S_ISCHR(a.st_mode) || S_ISBLK(a.st_mode)) && a.st_rdev != b.st_rdev)
            differences.push_back("device number: " + pathOf(true, name));
        if (S_ISREG(a.st_mode) && a.st_nlink > 1) {
            const auto [known, first] = linkedCopies.emplace(std::make_pair(a.st_dev, a.st_ino), b.st_ino);
            if (!first && known->second != b.st_ino)
                differences.push_back("not linked to the other names of its file: " + pathOf(true, name));
        }
        if (!unfinishedFolder && (a.st_mtim.tv_sec != b.st_mtim.tv_sec || a.st_mtim.tv_nsec != b.st_mtim.tv_nsec))
            differences.push_back("mtime: " + pathOf(true, name) + " " + timeText(a.st_mtim) + " vs "
                                  + timeText(b.st_mtim));
        if (S_ISREG(a.st_mode)) {
            if (a.st_atim.tv_sec != b.st_atim.tv_sec || a.st_atim.tv_nsec != b.st_atim.tv_nsec)
                differences.push_back("atime: " + pathOf(true, name));
            if (a.st_size != b.st_size)
                differences.push_back("size: " + pathOf(true, name));
            const int x = ::openat(source, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOATIME);
            const int y = ::openat(copy, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOATIME);
            if (x < 0 || y < 0 || !sameContent(x, y))
                differences.push_back("content: " + pathOf(true, name));
            else
                compareAttributes(x, y, pathOf(true, name));
            if (x >= 0)
                ::close(x);
            if (y >= 0)
                ::close(y);
        } else if (S_ISLNK(a.st_mode)) {
            if (readLinkAt(source, name) != readLinkAt(copy, name))
                differences.push_back("link text: " + pathOf(true, name));
        } else if (S_ISDIR(a.st_mode)) {
            const int x = ::openat(source, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            const int y = ::openat(copy, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (x >= 0 && y >= 0) {
                if (!unfinishedFolder)
                    compareAttributes(x, y, pathOf(true, name));
                push(x, y, name);
                return;
            }
            differences.push_back("cannot open folder: " + pathOf(true, name));
            if (x >= 0)
                ::close(x);
            if (y >= 0)
                ::close(y);
        }
    }
};

} // namespace

// Removes the tree with one folder open at a time, going down by name and
// back up through "..", so that any depth is removed.
void removeTree(const std::string &path)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    std::vector<std::string> names;           // from `path` down to `fd`
    std::vector<std::vector<std::string>> stuck{{}}; // per level: folders that would not go
    while (fd >= 0) {
        std::string down;
        for (const auto &[name, type] : entriesOf(fd)) {
            (void)type;
            struct stat info {};
            if (::fstatat(fd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            if (!S_ISDIR(info.st_mode))
                (void)::unlinkat(fd, name.c_str(), 0);
            else if (down.empty() && std::find(stuck.back().begin(), stuck.back().end(), name) == stuck.back().end())
                down = name;
        }
        if (!down.empty()) {
            (void)::fchmodat(fd, down.c_str(), 0700, 0);
            const int child = ::openat(fd, down.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (child < 0) {
                stuck.back().push_back(down);
                continue;
            }
            ::close(fd);
            fd = child;
            names.push_back(down);
            stuck.emplace_back();
            continue;
        }
        if (names.empty())
            break;
        const int parent = ::openat(fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::close(fd);
        fd = parent;
        stuck.pop_back();
        if (fd >= 0 && ::unlinkat(fd, names.back().c_str(), AT_REMOVEDIR) != 0)
            stuck.back().push_back(names.back());
        names.pop_back();
    }
    if (fd >= 0)
        ::close(fd);
    ::rmdir(path.c_str());
}

void writeFileWithMode(const std::string &path, const std::string &content, mode_t mode, std::int64_t mtimeSeconds,
                       long mtimeNanoseconds)
{
    writeFile(path, content, mtimeSeconds, mtimeNanoseconds);
    ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path;
}

void setTimes(const std::string &path, std::int64_t accessSeconds, long accessNanoseconds,
              std::int64_t modificationSeconds, long modificationNanoseconds)
{
    const struct timespec times[2] = {{accessSeconds, accessNanoseconds},
                                      {modificationSeconds, modificationNanoseconds}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path << ": " << std::strerror(errno);
}

// Reading must not move the source's access time, which the comparison checks.
std::string readFile(const std::string &path)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOATIME);
    if (fd < 0 && errno == EPERM) // O_NOATIME needs the file's owner (or root)
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    std::string content = readAll(fd);
    ::close(fd);
    return content;
}

struct stat statOf(const std::string &path)
{
    struct stat info {};
    EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path << ": " << std::strerror(errno);
    return info;
}

std::vector<std::string> compareTrees(const std::string &source, const std::string &copy,
                                      const std::vector<std::string> &absentFromCopy, bool partial)
{
    Comparison comparison{absentFromCopy, partial, {}, {}, source, copy, {}};
    const int x = ::open(source.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const int y = ::open(copy.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (x < 0 || y < 0)
        comparison.differences.push_back("cannot open " + source + " or " + copy);
    else
        comparison.run(x, y);
    if (x >= 0)
        ::close(x);
    if (y >= 0)
        ::close(y);
    return comparison.differences;
}

long finestTimeStep()
{
    return 1;
}

bool canMakeLinks()
{
    return true;
}

std::string fileIdentity(const std::string &path)
{
    const struct stat info = statOf(path);
    return std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino) + " changed " + timeText(info.st_ctim);
}

std::string systemReason(int code)
{
    return std::strerror(code);
}

bool canMount()
{
    if (::geteuid() != 0)
        return false;
    TempFolder probe;
    if (::mount("none", probe.path().c_str(), "tmpfs", 0, "size=1m") != 0)
        return false;
    ::umount(probe.path().c_str());
    return true;
}

// A POSIX ACL as the kernel stores it: the owner rw, user 1234 r, the group r, no one else.
std::string aclGrantingReadTo1234()
{
    struct Entry {
        std::uint16_t tag, perm;
        std::uint32_t id;
    };
    const Entry entries[] = {{0x01, 6, ~0u}, {0x02, 4, 1234}, {0x04, 4, ~0u}, {0x10, 4, ~0u}, {0x20, 0, ~0u}};
    std::string value(4, '\0');
    value[0] = 2; // version
    value.append(reinterpret_cast<const char *>(entries), sizeof entries);
    return value;
}

} // namespace drovanta::engine::testing
