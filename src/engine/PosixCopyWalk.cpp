#include "engine/PosixCopyWalk.h"

#include "engine/PosixDestination.h"
#include "engine/PosixSupport.h"
#include "engine/SystemItems.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace drovanta::engine::posix {

namespace {

// Bytes of a folder's entries read with one system call.
constexpr std::size_t listingBuffer = 32 * 1024;
// A folder below the roots is opened relative to the one that holds it and
// never through a link.
constexpr int folderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

bool isLevel(const ClosedFolder &level, int sourceFd, int targetFd)
{
    struct stat source {};
    struct stat target {};
    return sourceFd >= 0 && targetFd >= 0 && ::fstat(sourceFd, &source) == 0 && ::fstat(targetFd, &target) == 0
        && source.st_dev == level.sourceInfo.st_dev && source.st_ino == level.sourceInfo.st_ino
        && target.st_dev == level.targetDevice && target.st_ino == level.targetInode;
}

} // namespace

MountPoints::MountPoints(int treeFd)
{
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", treeFd);
    std::string tree(4096, '\0');
    const ssize_t length = ::readlink(link, tree.data(), tree.size());
    std::FILE *table = std::fopen("/proc/self/mountinfo", "re");
    if (length <= 0 || static_cast<std::size_t>(length) >= tree.size() || table == nullptr) {
        if (table != nullptr)
            std::fclose(table);
        return;
    }
    tree.resize(static_cast<std::size_t>(length));
    if (tree.back() != '/')
        tree += '/';
    char *line = nullptr;
    std::size_t size = 0;
    while (::getline(&line, &size, table) > 0) {
        // ID, parent ID, device, root, then the mount point, with
        // spaces and the like written as octal escapes.
        const char *field = line;
        for (int skip = 0; skip < 4 && field != nullptr; ++skip) {
            field = std::strchr(field, ' ');
            field = field != nullptr ? field + 1 : nullptr;
        }
        if (field == nullptr)
            continue;
        std::string point;
        for (; *field != ' ' && *field != '\n' && *field != '\0'; ++field) {
            if (field[0] == '\\' && field[1] >= '0' && field[1] <= '3' && field[2] >= '0' && field[2] <= '7'
                && field[3] >= '0' && field[3] <= '7') {
                point += static_cast<char>((field[1] - '0') * 64 + (field[2] - '0') * 8 + (field[3] - '0'));
                field += 3;
            } else {
                point += *field;
            }
        }
        const auto slash = point.rfind('/');
        struct stat holder {};
        if (point.size() > tree.size() && point.starts_with(tree)
            && ::stat(slash == 0 ? "/" : point.substr(0, slash).c_str(), &holder) == 0)
            m_points.insert(key(holder, point.substr(slash + 1)));
    }
    std::free(line);
    std::fclose(table);
}

Error makeWritable(int fd)
{
    struct stat info {};
    if (::fstat(fd, &info) != 0)
        return lastError("set permissions");
    if ((info.st_mode & 0700) != 0700 && ::fchmod(fd, (info.st_mode & 07777) | 0700) != 0)
        return lastError("set permissions");
    return {};
}

Opened openTargetFolder(int parentFd, const char *name, bool &fresh)
{
    constexpr const char *operation = "create folder";
    constexpr int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    fresh = ::mkdirat(parentFd, name, 0700) == 0;
    if (!fresh && errno != EEXIST)
        return lastError(operation);
    UniqueFd fd(::openat(parentFd, name, flags));
    if (!fd.valid() && !fresh && (errno == ENOTDIR || errno == ELOOP)) {
        if (::unlinkat(parentFd, name, 0) != 0 || ::mkdirat(parentFd, name, 0700) != 0)
            return lastError(operation);
        fresh = true;
        fd = UniqueFd(::openat(parentFd, name, flags));
    }
    if (!fd.valid())
        return lastError(operation);
    return fd;
}

bool keptInPlace(const RunContext &run, int parentFd, const std::string &name)
{
    struct stat existing {};
    return run.params.keepExisting && parentFd >= 0
        && ::fstatat(parentFd, name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISDIR(existing.st_mode);
}

// The entries are read a buffer at a time, straight from the folder's own
// descriptor (a directory stream would cost two more system calls per
// folder), which keeps the position between reads.
bool CopyWalkSystem::read(Folder &folder, Cursor &, std::vector<Entry> &entries, int &error)
{
    thread_local std::vector<char> buffer(listingBuffer);
    const ssize_t got = ::getdents64(folder.sourceFd(), buffer.data(), buffer.size());
    if (got <= 0) {
        if (got < 0)
            error = errno;
        return false;
    }
    for (std::size_t at = 0; at < static_cast<std::size_t>(got);) {
        const auto *entry = reinterpret_cast<const struct dirent64 *>(buffer.data() + at);
        at += entry->d_reclen;
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0
            && !(m_run.params.leavesOutLeftovers && isTemporaryName(entry->d_name)))
            entries.push_back({entry->d_name, entry->d_type});
    }
    return true;
}

bool CopyWalkSystem::knowKind(Folder &folder, Entry &entry, Result &result)
{
    if (entry.type != DT_UNKNOWN) // the filesystem says in its listing
        return true;
    struct stat info {};
    if (::fstatat(folder.sourceFd(), entry.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        m_run.fail(result, joinPath(folder.sourcePath(), entry.name), lastError("read information"), false);
        return false;
    }
    entry.type = S_ISDIR(info.st_mode) ? DT_DIR
        : S_ISREG(info.st_mode)        ? DT_REG
        : S_ISLNK(info.st_mode)        ? DT_LNK
                                       : DT_UNKNOWN;
    return true;
}

std::shared_ptr<Folder> CopyWalkSystem::openFolder(Folder &parent, const std::string &name, Result &result)
{
    UniqueFd source;
    struct stat info {};
    bool mounted = m_mountPoints.holds(parent.sourceInfo(), name);
    if (mounted) {
        if (::fstatat(parent.sourceFd(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            m_run.fail(result, joinPath(parent.sourcePath(), name), lastError("read information"), false);
            return nullptr;
        }
        mounted = info.st_dev != parent.sourceInfo().st_dev; // else a folder of this drive bound there
    }
    if (!mounted) {
        source = UniqueFd(::openat(parent.sourceFd(), name.c_str(), folderFlags));
        if (!source.valid() && (errno == ELOOP || errno == ENOTDIR)) {
            // No longer a folder since it was listed: copied as what it is now.
            copyItem(parent, {name, DT_UNKNOWN}, result);
            return nullptr;
        }
        if (!source.valid()) {
            m_run.fail(result, joinPath(parent.sourcePath(), name), lastError("open folder"), false);
            return nullptr;
        }
        if (::fstat(source.get(), &info) != 0) {
            m_run.fail(result, joinPath(parent.sourcePath(), name), lastError("read information"), false);
            return nullptr;
        }
    }
    if (info.st_dev == m_targetRoot.st_dev && info.st_ino == m_targetRoot.st_ino) {
        result.skipped.push_back({joinPath(parent.sourcePath(), name), SkipReason::BackupItself});
        return nullptr;
    }
    auto path = std::make_shared<FolderPath>(parent.path(), name);
    if (keptInPlace(m_run, parent.fresh() ? -1 : parent.targetFd(), name)) {
        result.kept.push_back(path->target());
        return nullptr;
    }
    // Another filesystem is mounted here (what was opened is its root);
    // the backup of this drive keeps the folder, not what is mounted on it.
    const bool mountPoint = mounted || info.st_dev != parent.sourceInfo().st_dev;
    if (mountPoint)
        source.reset();

    bool fresh = false;
    Opened target = openTargetFolder(parent.targetFd(), name.c_str(), fresh);
    if (target.failed()) {
        m_run.fail(result, path->target(), target.error, true);
        return nullptr;
    }
    const int targetFd = target.value.get();
    if (!fresh && !mountPoint) {
        removeLeftovers(targetFd, source.get());
        if (const Error error = makeWritable(targetFd))
            m_run.fail(result, path->target(), error, true);
    }
    ++result.folders;
    if (mountPoint) {
        if (const Error error = applyFolderMetadata(m_run, -1, targetFd, info, false))
            m_run.fail(result, path->target(), error, true);
        result.skipped.push_back({path->source(), SkipReason::OtherDrive});
        return nullptr;
    }
    auto folder = fresh ? std::make_shared<Folder>(m_run, std::move(source), std::move(target.value),
                                                   std::move(path), info, parent)
                        : std::make_shared<Folder>(m_run, std::move(source), std::move(target.value),
                                                   std::move(path), info, false);
    if (parent.previousFd() >= 0)
        folder->setPrevious(UniqueFd(::openat(parent.previousFd(), name.c_str(), folderFlags)));
    return folder;
}

CopyWalkSystem::Closed CopyWalkSystem::close(const Folder &folder)
{
    Closed closed{folder.path(), folder.sourceInfo(), 0, 0, folder.fresh()};
    struct stat target {};
    if (::fstat(folder.targetFd(), &target) == 0) {
        closed.targetDevice = target.st_dev;
        closed.targetInode = target.st_ino;
    }
    return closed;
}

// Through ".." of the level below when that is open, else by name from the
// open anchor above, never through a link. Either way it must be the same
// folder as before (device and inode) on both sides.
std::shared_ptr<Folder> CopyWalkSystem::reopen(const Closed &closed, const Folder *below, const Folder &anchor,
                                               const std::vector<std::string> &names, Result &result)
{
    UniqueFd source;
    UniqueFd target;
    if (below != nullptr) {
        source = UniqueFd(::openat(below->sourceFd(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        target = UniqueFd(::openat(below->targetFd(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    }
    if (!isLevel(closed, source.get(), target.get())) {
        Opened sourceOpened = openBeneath(anchor.sourceFd(), names);
        Opened targetOpened
            = sourceOpened.failed() ? Opened(sourceOpened.error) : openBeneath(anchor.targetFd(), names);
        source = std::move(sourceOpened.value);
        target = std::move(targetOpened.value);
        if (targetOpened.failed() || !isLevel(closed, source.get(), target.get())) {
            m_run.fail(result, closed.path->source(),
                       targetOpened.failed() ? targetOpened.error : Error{ENOENT, "open folder"}, false);
            return nullptr;
        }
    }
    auto folder = std::make_shared<Folder>(m_run, std::move(source), std::move(target), closed.path,
                                           closed.sourceInfo, closed.fresh);
    // The earlier backup's folder, by name from the anchor.
    if (anchor.previousFd() >= 0) {
        if (Opened previous = openBeneath(anchor.previousFd(), names); !previous.failed())
            folder->setPrevious(std::move(previous.value));
    }
    return folder;
}

// A share of the descriptors the process may open, as each folder takes up
// to three (source, copy, earlier backup) besides the files being copied.
std::size_t CopyWalkSystem::folderLimit()
{
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return 1024;
    return std::clamp<std::size_t>(static_cast<std::size_t>(limit.rlim_cur) / 8, 16, 1024);
}

} // namespace drovanta::engine::posix
