#include "engine/PosixTreeCopy.h"

#include "engine/FaultInjection.h"
#include "engine/PosixCopyRun.h"
#include "engine/PosixItemCopy.h"
#include "engine/PosixRunContext.h"
#include "engine/RunStart.h"
#include "engine/SystemItems.h"
#include "engine/WorkStack.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

namespace drovanta::engine::posix {

namespace {

// Entries listed and waiting for a worker beyond which a walk copies what it
// lists itself: enough to keep the workers busy while folders are read,
// few enough that a folder of a million entries needs no more memory.
constexpr std::size_t queueCapacity = 4096;
// Entries a walk gathers before it hands them over together. It hands them
// over sooner whenever it may wait (before it reads more of a folder, at
// the end of one), so that no worker waits on a gathered entry.
constexpr std::size_t batchSize = 256;
// Files of one folder that a rerun checks in one go. Checking an unchanged
// file takes two stats, less than handing it to another worker: one at a
// time would spend the run handing files over.
constexpr std::size_t rerunJobFiles = 32;
// Bytes of a folder's entries read with one system call.
constexpr std::size_t listingBuffer = 32 * 1024;
// A folder below the roots is opened relative to the one that holds it and
// never through a link.
constexpr int folderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

struct Entry {
    std::string name;
    unsigned char type = DT_UNKNOWN;
};

using Work = WorkStack<std::shared_ptr<Folder>, Entry>;
using Batch = Work::Batch;

// The folders below a tree on which a filesystem was mounted when its copy
// began, by the folder that holds each (device and inode) and its name. The
// walk tells a folder's type from the listing and opens it without a stat
// first; these it does not open, as opening a folder that mounts on demand
// would mount it (a stat does not). One mounted later is still told by its
// device once open.
class MountPoints final {
public:
    // Reads the system's mount table for mount points below the folder
    // `treeFd` is open on.
    explicit MountPoints(int treeFd)
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

    // Whether `name` in the folder described by `holder` is a mount point.
    [[nodiscard]] bool holds(const struct stat &holder, const std::string &name) const
    {
        return !m_points.empty() && m_points.contains(key(holder, name));
    }

private:
    static std::string key(const struct stat &holder, const std::string &name)
    {
        return std::to_string(holder.st_dev) + ':' + std::to_string(holder.st_ino) + '/' + name;
    }

    std::unordered_set<std::string> m_points;
};

// A folder merged into must take new items even when a previous run gave it
// a read-only mode; its own mode is set again once it is complete.
Error makeWritable(int fd)
{
    struct stat info {};
    if (::fstat(fd, &info) != 0)
        return lastError("set permissions");
    if ((info.st_mode & 0700) != 0700 && ::fchmod(fd, (info.st_mode & 07777) | 0700) != 0)
        return lastError("set permissions");
    return {};
}

// Opens (creating when missing) the copy of folder `name`; `fresh` tells
// whether this made it. A link or file of that name in the target is
// replaced: the source has a folder there.
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

// A restore without leave to overwrite keeps what the user has where a
// folder would go when it is not a real folder (a file, or a link, which
// is never followed either way). `parentFd` is -1 for a folder this run made.
bool keptInPlace(const RunContext &run, int parentFd, const std::string &name)
{
    struct stat existing {};
    return run.params.keepExisting && parentFd >= 0
        && ::fstatat(parentFd, name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISDIR(existing.st_mode);
}

// The entries of one folder as a walk reads them: a buffer at a time,
// straight from the folder's own descriptor (a directory stream would cost
// two more system calls per folder). What has been read and not yet taken
// is kept here, so that the descriptor can be closed and the listing go on.
class Listing final {
public:
    // The next entry, read through `fd` when none is left over; false at
    // the end. A failure to read ends the listing and sets `error`.
    bool next(int fd, Entry &entry, int &error)
    {
        if (m_at == m_read.size() && !read(fd, error))
            return false;
        entry = std::move(m_read[m_at++]);
        return true;
    }

    // Whether the next entry is at hand, with nothing to read for it.
    [[nodiscard]] bool atHand() const { return m_at < m_read.size() || m_ended; }

    // Reads the rest of the folder now: `fd` is about to be closed.
    void readAll(int fd, int &error)
    {
        m_read.erase(m_read.begin(), m_read.begin() + static_cast<std::ptrdiff_t>(m_at));
        m_at = 0;
        while (!m_ended)
            fill(fd, error);
    }

    // Lets go of the rest: the folder is not listed further.
    void drop()
    {
        m_read.clear();
        m_at = 0;
        m_ended = true;
    }

private:
    bool read(int fd, int &error)
    {
        m_read.clear();
        m_at = 0;
        while (m_read.empty() && !m_ended)
            fill(fd, error);
        return !m_read.empty();
    }

    // Appends what one system call reads.
    void fill(int fd, int &error)
    {
        thread_local std::vector<char> buffer(listingBuffer);
        const ssize_t got = ::getdents64(fd, buffer.data(), buffer.size());
        if (got <= 0) {
            if (got < 0)
                error = errno;
            m_ended = true;
            return;
        }
        for (std::size_t at = 0; at < static_cast<std::size_t>(got);) {
            const auto *entry = reinterpret_cast<const struct dirent64 *>(buffer.data() + at);
            at += entry->d_reclen;
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                m_read.push_back({entry->d_name, entry->d_type});
        }
    }

    std::vector<Entry> m_read;
    std::size_t m_at = 0;
    bool m_ended = false;
};

// Folders along a walk's path that stay open (a source and
// a target descriptor each) while few folders are open in all. Deeper, the
// walk closes the levels above these and opens them again, through "..", on
// the way back; with many folders open in all, it keeps only the deepest two.
constexpr std::size_t openLevels = 64;

// One level of a walk's path. A closed level keeps its place in the chain
// of names and its identity (device and inode on both sides), never a full
// path: a chain of 100,000 folders would otherwise hold gigabytes of text.
struct Level {
    std::shared_ptr<Folder> folder; // null while closed
    std::shared_ptr<FolderPath> path;
    struct stat sourceInfo {};
    dev_t targetDevice = 0; // taken when the level is closed
    ino_t targetInode = 0;
    bool fresh = false;
    Listing listing;
    // On a destination that folds case: the folded names listed so far.
    std::unordered_set<std::string> claimed;
    // Entries listed and not yet handed over, and where those handed over
    // wait.
    std::vector<Entry> gathered;
    Work::Place handed;
};

// The most folders a run holds open before its walks stop handing folders
// over to other workers and go down into them themselves: a share of the
// descriptors the process may open, as each folder takes up to three
// (source, copy, earlier backup) besides the files being copied.
std::size_t folderLimit()
{
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return 1024;
    return std::clamp<std::size_t>(static_cast<std::size_t>(limit.rlim_cur) / 8, 16, 1024);
}

// Copies a tree with workers that each list the folders they take: a walk
// lists one folder, copies nothing itself while others can, and hands its
// entries to the others in batches (files to copy, folders to list in turn).
// Every folder is listed by one walk only, start to end.
class TreeCopy final {
public:
    TreeCopy(RunContext &run, const struct stat &targetRoot, int treeFd)
        : m_run(run), m_targetRoot(targetRoot), m_mountPoints(treeFd), m_folderLimit(folderLimit()),
          m_work(run.params.workers, [this](Batch &part, Result &result) { process(part, result); })
    {
    }

    Result run(std::shared_ptr<Folder> root)
    {
        return m_work.run([&](Result &result) { walk(std::move(root), result); });
    }

private:
    // No new item should be started.
    bool stopped(Result &result) const
    {
        if (!m_run.cutShort() && !m_work.abandoned())
            return false;
        result.stopped = result.stopped || m_run.stopRequested();
        return true;
    }

    // Does the entries of one folder handed over by a walk: files are
    // copied, folders made and listed.
    void process(Batch &part, Result &result)
    {
        for (std::size_t i = 0; i < part.entries.size(); ++i) {
            Entry &entry = part.entries[i];
            Folder &folder = *part.holder;
            if (stopped(result)) {
                finish(folder, result); // the rest is let go, the folder completed all the same
                continue;
            }
            checkDestination(folder);
            if (entry.type != DT_DIR) {
                copyOne(folder, entry.name, entry.type, result);
                finish(folder, result);
                continue;
            }
            std::shared_ptr<Folder> below = openFolder(part.holder, entry.name, result);
            finish(folder, result); // made in the copy, which is all this folder waits for
            if (i + 1 == part.entries.size())
                part.holder.reset(); // not held open while the one below is walked
            if (below != nullptr)
                walk(std::move(below), result);
        }
        part.holder.reset();
    }

    // An entry handed over from `folder` is done, or its walk is done
    // listing it: the last of them completes the folder, into `result`.
    static void finish(Folder &folder, Result &result)
    {
        if (folder.itemDone())
            folder.complete(result);
    }

    void copyOne(const Folder &folder, const std::string &name, unsigned char type, Result &result)
    {
        try {
            copyItem(m_run, folder, name, type, result);
        } catch (const std::exception &) {
            m_run.fail(result, joinPath(folder.sourcePath(), name), {ENOMEM, "copy"}, false);
        }
    }

    // Whether a walk may hand a folder over (it holds its parent open until
    // a worker takes it) or the files of a folder below its first (they
    // hold that open too), rather than go down into it or copy them itself.
    bool mayHandOver() const
    {
        return m_run.openFolders.load(std::memory_order_relaxed) < m_folderLimit && m_work.queued() < queueCapacity;
    }

    // The state of one walk, on one worker's thread.
    struct Path {
        std::vector<Level> levels;
        std::size_t open = 0;
        std::size_t lowestOpen = 1;
    };

    // Lists `top` and whatever the walk goes down into, depth first, with
    // the path held in `path.levels`, not on the call stack: the depth of
    // the tree is the user's to choose.
    void walk(std::shared_ptr<Folder> top, Result &result)
    {
        Path path;
        Level first;
        first.sourceInfo = top->sourceInfo();
        first.path = top->path();
        first.fresh = top->fresh();
        first.folder = std::move(top);
        path.levels.push_back(std::move(first));
        path.open = 1;
        while (!path.levels.empty()) {
            if (stopped(result))
                break;
            Level &level = path.levels.back();
            if (level.folder == nullptr) { // could not be opened again: the rest of it is not copied
                leave(path, result);
                continue;
            }
            checkDestination(*level.folder);
            Entry entry;
            if (!nextEntry(level, entry, result)) {
                handOver(level);
                leave(path, result);
                continue;
            }
            Folder &folder = *level.folder;
            if (folder.foldsCase() && !level.claimed.insert(foldedName(entry.name)).second) {
                m_run.failWithReason(result, joinPath(folder.sourcePath(), entry.name), {EEXIST, "copy"},
                                     caseClashReason);
                continue;
            }
            if (entry.type == DT_UNKNOWN) { // the filesystem does not say in its listing
                struct stat info {};
                if (::fstatat(folder.sourceFd(), entry.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
                    m_run.fail(result, joinPath(folder.sourcePath(), entry.name), lastError("read information"),
                               false);
                    continue;
                }
                entry.type = S_ISDIR(info.st_mode) ? DT_DIR
                    : S_ISREG(info.st_mode)        ? DT_REG
                    : S_ISLNK(info.st_mode)        ? DT_LNK
                                                   : DT_UNKNOWN;
            }
            // Below its first folder a walk hands nothing over when many
            // folders are open: what it holds open stays bounded.
            const bool handOn = entry.type == DT_DIR || path.levels.size() > 1 ? mayHandOver()
                                                                                : m_work.queued() < queueCapacity;
            if (handOn) {
                level.gathered.push_back(std::move(entry));
                if (level.gathered.size() >= batchSize)
                    handOver(level);
            } else if (entry.type == DT_DIR) {
                handOver(level);
                enter(path, entry.name, result);
            } else {
                copyOne(folder, entry.name, entry.type, result);
            }
        }
        // Stopped: the open folders are let go (and completed as their last
        // entry finishes); closed ones keep what they have.
        for (auto level = path.levels.rbegin(); level != path.levels.rend(); ++level) {
            if (level->folder != nullptr)
                finish(*level->folder, result);
        }
    }

    // Hands what `level` has gathered to the workers.
    void handOver(Level &level)
    {
        if (level.gathered.empty())
            return;
        Batch batch;
        batch.entries = std::move(level.gathered);
        level.gathered.clear();
        // A file of a folder that an earlier run copied is most likely
        // unchanged, and checked with the next ones of its folder.
        batch.most = !level.folder->fresh() && m_run.params.skipUnchanged ? rerunJobFiles : 1;
        level.folder->itemsQueued(batch.entries.size());
        batch.holder = level.folder;
        m_work.push(std::move(batch), level.handed);
    }

    // Fails the destination once the backup folder is no longer where the
    // run found it (a drive pulled mid-run); looked at about twice a second
    // by whichever worker comes by.
    void checkDestination(const Folder &folder)
    {
        thread_local unsigned since = 0;
        if (!m_run.destinationGone || ++since < 256)
            return;
        since = 0;
        const std::int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count();
        std::int64_t last = m_lastCheckMs.load(std::memory_order_relaxed);
        if (now - last < 500 || !m_lastCheckMs.compare_exchange_strong(last, now, std::memory_order_relaxed))
            return;
        if (m_run.destinationGone())
            m_run.failDestination(folder.targetPath(), {ENODEV, "write"});
    }

    // The next entry of `level`; false at its end.
    bool nextEntry(Level &level, Entry &entry, Result &result)
    {
        if (!level.listing.atHand())
            handOver(level); // reading may wait on the drive: the workers get what is gathered first
        int error = 0;
        if (level.listing.next(level.folder->sourceFd(), entry, error))
            return true;
        if (error != 0)
            m_run.fail(result, level.folder->sourcePath(), {error, "list folder"}, false);
        return false;
    }

    // Opens folder `name` of `parent` and its copy, making that when
    // missing; null when it is not copied as a folder after all (that is
    // done, or reported, here).
    std::shared_ptr<Folder> openFolder(const std::shared_ptr<Folder> &parent, const std::string &name,
                                       Result &result)
    {
        UniqueFd source;
        struct stat info {};
        bool mounted = m_mountPoints.holds(parent->sourceInfo(), name);
        if (mounted) {
            if (::fstatat(parent->sourceFd(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
                m_run.fail(result, joinPath(parent->sourcePath(), name), lastError("read information"), false);
                return nullptr;
            }
            mounted = info.st_dev != parent->sourceInfo().st_dev; // else a folder of this drive bound there
        }
        if (!mounted) {
            source = UniqueFd(::openat(parent->sourceFd(), name.c_str(), folderFlags));
            if (!source.valid() && (errno == ELOOP || errno == ENOTDIR)) {
                // No longer a folder since it was listed: copied as what it is now.
                copyOne(*parent, name, DT_UNKNOWN, result);
                return nullptr;
            }
            if (!source.valid()) {
                m_run.fail(result, joinPath(parent->sourcePath(), name), lastError("open folder"), false);
                return nullptr;
            }
            if (::fstat(source.get(), &info) != 0) {
                m_run.fail(result, joinPath(parent->sourcePath(), name), lastError("read information"), false);
                return nullptr;
            }
        }
        if (info.st_dev == m_targetRoot.st_dev && info.st_ino == m_targetRoot.st_ino) {
            result.skipped.push_back({joinPath(parent->sourcePath(), name), SkipReason::BackupItself});
            return nullptr;
        }
        auto path = std::make_shared<FolderPath>(parent->path(), name);
        if (keptInPlace(m_run, parent->fresh() ? -1 : parent->targetFd(), name)) {
            result.kept.push_back(path->target());
            return nullptr;
        }
        // Another filesystem is mounted here (what was opened is its root);
        // the backup of this drive keeps the folder, not what is mounted on it.
        const bool mountPoint = mounted || info.st_dev != parent->sourceInfo().st_dev;
        if (mountPoint)
            source.reset();

        bool fresh = false;
        Opened target = openTargetFolder(parent->targetFd(), name.c_str(), fresh);
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
                                                       std::move(path), info, *parent)
                            : std::make_shared<Folder>(m_run, std::move(source), std::move(target.value),
                                                       std::move(path), info, false);
        if (parent->previousFd() >= 0)
            folder->setPrevious(UniqueFd(::openat(parent->previousFd(), name.c_str(), folderFlags)));
        return folder;
    }

    // Goes down into folder `name` of the deepest level.
    void enter(Path &path, const std::string &name, Result &result)
    {
        std::shared_ptr<Folder> folder = openFolder(path.levels.back().folder, name, result);
        if (folder == nullptr)
            return;
        Level level;
        level.sourceInfo = folder->sourceInfo();
        level.path = folder->path();
        level.fresh = folder->fresh();
        level.folder = std::move(folder);
        path.levels.push_back(std::move(level));
        ++path.open;
        closeDeepLevels(path, result);
    }

    // Closes levels above the deepest `openLevels` (above the deepest two,
    // when many folders are open in all) whose entries are all done; a
    // level with entries still handed over stays open until they are. A
    // closed level is not complete: the walk completes it once it has
    // opened it again and listed the rest. The walk's first level stays
    // open: it is where the walk's path starts.
    void closeDeepLevels(Path &path, Result &result)
    {
        const std::size_t keep
            = m_run.openFolders.load(std::memory_order_relaxed) > m_folderLimit ? 2 : openLevels;
        if (path.open <= keep)
            return;
        const std::size_t limit = path.levels.size() - std::min(keep, path.levels.size());
        path.lowestOpen = std::max<std::size_t>(path.lowestOpen, 1);
        for (std::size_t i = path.lowestOpen; i < limit && path.open > keep; ++i) {
            Level &level = path.levels[i];
            if (level.folder == nullptr || level.folder.use_count() != 1)
                continue;
            std::atomic_thread_fence(std::memory_order_acquire); // the workers are done with its descriptors
            int error = 0;
            level.listing.readAll(level.folder->sourceFd(), error);
            if (error != 0)
                m_run.fail(result, level.folder->sourcePath(), {error, "list folder"}, false);
            struct stat target {};
            if (::fstat(level.folder->targetFd(), &target) == 0) {
                level.targetDevice = target.st_dev;
                level.targetInode = target.st_ino;
            }
            level.folder.reset();
            --path.open;
        }
        while (path.lowestOpen < limit && path.levels[path.lowestOpen].folder == nullptr)
            ++path.lowestOpen;
    }

    // Leaves the deepest level, opening the level above again when it was
    // closed.
    void leave(Path &path, Result &result)
    {
        const std::size_t index = path.levels.size() - 1;
        if (index > 0 && path.levels[index - 1].folder == nullptr)
            reopen(path, index - 1, result);
        if (path.levels[index].folder != nullptr) {
            finish(*path.levels[index].folder, result);
            --path.open;
        }
        path.levels.pop_back();
        path.lowestOpen = std::min(path.lowestOpen, path.levels.size());
    }

    // Opens closed level `index` again: through ".." of the level below it
    // when that is open, else by name from the nearest open level above,
    // never through a link. Either way it must be the same folder as before
    // (device and inode) on both sides; one that was moved or replaced in
    // the meantime is reported and the rest of it is not copied.
    void reopen(Path &path, std::size_t index, Result &result)
    {
        std::vector<Level> &levels = path.levels;
        Level &level = levels[index];
        const Level &below = levels[index + 1];
        UniqueFd source;
        UniqueFd target;
        if (below.folder != nullptr) {
            source = UniqueFd(::openat(below.folder->sourceFd(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            target = UniqueFd(::openat(below.folder->targetFd(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        }
        if (!isLevel(level, source.get(), target.get())) {
            std::size_t anchor = index;
            while (levels[anchor - 1].folder == nullptr) // the walk's first level is never closed
                --anchor;
            const Folder &open = *levels[anchor - 1].folder;
            std::vector<std::string> names;
            for (std::size_t i = anchor; i <= index; ++i)
                names.push_back(levels[i].path->name());
            Opened sourceOpened = openBeneath(open.sourceFd(), names);
            Opened targetOpened
                = sourceOpened.failed() ? Opened(sourceOpened.error) : openBeneath(open.targetFd(), names);
            source = std::move(sourceOpened.value);
            target = std::move(targetOpened.value);
            if (targetOpened.failed() || !isLevel(level, source.get(), target.get())) {
                m_run.fail(result, level.path->source(),
                           targetOpened.failed() ? targetOpened.error : Error{ENOENT, "open folder"}, false);
                level.listing.drop();
                return;
            }
        }
        level.folder = std::make_shared<Folder>(m_run, std::move(source), std::move(target), level.path,
                                                level.sourceInfo, level.fresh);
        reopenPrevious(path, index);
        ++path.open;
        path.lowestOpen = std::min(path.lowestOpen, index); // to be closed again when the walk goes down from it
    }

    // The earlier backup's folder of reopened level `index`, by name from
    // the nearest open level above that has one.
    static void reopenPrevious(Path &path, std::size_t index)
    {
        std::vector<Level> &levels = path.levels;
        std::size_t anchor = index;
        while (anchor > 0 && levels[anchor - 1].folder == nullptr)
            --anchor;
        if (anchor == 0 || levels[anchor - 1].folder->previousFd() < 0)
            return;
        std::vector<std::string> names;
        for (std::size_t i = anchor; i <= index; ++i)
            names.push_back(levels[i].path->name());
        if (Opened previous = openBeneath(levels[anchor - 1].folder->previousFd(), names); !previous.failed())
            levels[index].folder->setPrevious(std::move(previous.value));
    }

    static bool isLevel(const Level &level, int sourceFd, int targetFd)
    {
        struct stat source {};
        struct stat target {};
        return sourceFd >= 0 && targetFd >= 0 && ::fstat(sourceFd, &source) == 0 && ::fstat(targetFd, &target) == 0
            && source.st_dev == level.sourceInfo.st_dev && source.st_ino == level.sourceInfo.st_ino
            && target.st_dev == level.targetDevice && target.st_ino == level.targetInode;
    }

    RunContext &m_run;
    struct stat m_targetRoot;
    const MountPoints m_mountPoints;
    const std::size_t m_folderLimit;
    std::atomic<std::int64_t> m_lastCheckMs{0};
    Work m_work;
};

// Where an item named by a path lies: the folder that holds it, opened
// beneath the root, and its name there. When the path is the root itself,
// `self` holds the root and `name` is empty.
struct Place {
    UniqueFd parent;
    std::string name;
    UniqueFd self;
};

// Fails as "open folder".
// `rootFd`, when not -1, is the root already open.
Error openPlace(const std::string &root, const std::string &path, Place &place, int rootFd = -1)
{
    BeneathRoot split;
    if (const Error error = splitAtRoot(root, path, split))
        return error;
    Opened opened = rootFd >= 0 ? Opened(UniqueFd(::fcntl(rootFd, F_DUPFD_CLOEXEC, 0))) : openFolderPath(split.root);
    if (!opened.failed() && !opened.value.valid())
        opened = lastError("open folder");
    if (opened.failed())
        return opened.error;
    if (split.below.empty()) {
        place.self = std::move(opened.value);
        return {};
    }
    place.name = split.below.back();
    if (split.below.size() == 1) {
        place.parent = std::move(opened.value);
        return {};
    }
    Opened parent = openBeneath(opened.value.get(), std::span(split.below).first(split.below.size() - 1));
    if (parent.failed())
        return parent.error;
    place.parent = std::move(parent.value);
    return {};
}

// Where target `path` of a backup run lies, reached beneath the backup
// folder the run holds open. Fails as "open folder".
Error openPlaceInRun(RunShared &shared, const std::string &path, Place &place)
{
    BeneathRoot split;
    if (const Error error = splitAtRoot(shared.backupPath(), path, split))
        return error;
    UniqueFd top(::fcntl(shared.backupFolder(), F_DUPFD_CLOEXEC, 0));
    if (!top.valid())
        return lastError("open folder");
    if (split.below.empty()) {
        place.self = std::move(top);
        return {};
    }
    place.name = split.below.back();
    if (split.below.size() == 1) {
        place.parent = std::move(top);
        return {};
    }
    Opened parent = openBeneath(top.get(), std::span(split.below).first(split.below.size() - 1));
    if (parent.failed())
        return parent.error;
    place.parent = std::move(parent.value);
    return {};
}

// The same item as target `path` in a backup run's earlier backup; invalid
// when there is none to share with.
UniqueFd openPreviousInRun(const RunShared &shared, const std::string &path)
{
    BeneathRoot split;
    if (shared.previousFolder() < 0 || splitAtRoot(shared.backupPath(), path, split))
        return {};
    if (split.below.empty())
        return UniqueFd(::fcntl(shared.previousFolder(), F_DUPFD_CLOEXEC, 0));
    Opened previous = openBeneath(shared.previousFolder(), split.below);
    return previous.failed() ? UniqueFd() : std::move(previous.value);
}

// The earlier backup's folder named by `params.previousTarget`, opened
// beneath the target root without following a link; invalid when there is
// none to share with.
UniqueFd openPrevious(const Params &params)
{
    if (params.previousTarget.empty())
        return {};
    Place place;
    if (openPlace(params.targetRoot, normalized(params.previousTarget), place))
        return {};
    if (place.name.empty())
        return std::move(place.self);
    return UniqueFd(::openat(place.parent.get(), place.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

// Failures before the run's threads start go straight into the result.
void failDestination(Result &result, const std::string &path, Error error)
{
    result.destinationFailed = true;
    result.destinationFailure = {path, error.operation, errorText(error.code), error.code};
}

void failSource(Result &result, const std::string &path, Error error)
{
    result.failures.push_back({path, error.operation, errorText(error.code), error.code});
}

// Whether a backup run can go on writing: its backup folder was opened and
// is still the one its path names. Else the destination has failed.
bool runUsable(const RunShared *shared, Result &result)
{
    if (shared == nullptr)
        return true;
    if (shared->openError()) {
        failDestination(result, shared->backupPath(), shared->openError());
        return false;
    }
    if (shared->gone()) {
        failDestination(result, shared->backupPath(), {ENODEV, "write"});
        return false;
    }
    return true;
}

// A backup run's source root, opened once for all its calls; -1 outside a
// run, or when it cannot be opened (the path is then opened as usual).
int sourceRootIn(RunShared *shared, const Params &params)
{
    return shared != nullptr && !params.sourceRoot.empty() ? shared->sourceRoot(normalized(params.sourceRoot)) : -1;
}

// Checks of a backup run's calls whether the backup folder is still there.
std::function<bool()> goneCheck(const RunShared *shared)
{
    if (shared == nullptr)
        return {};
    return [shared] { return shared->gone(); };
}

// Runs of the engine copy one item of a drive's root each, into the same
// backup folder. On a destination that folds case, an item whose name
// differs only in case from one already in that folder (`folderFd`) would
// land on it.
bool clashesIn(RunContext &run, int folderFd, const std::string &name, const std::string &target, Result &result)
{
    if (!run.destination.foldsCase)
        return false;
    if (faults::Faults *planted = faults::active())
        planted->targetListings.fetch_add(1, std::memory_order_relaxed);
    const Outcome<UniqueDir> listing = openListing(folderFd);
    if (listing.failed())
        return false;
    const std::string folded = foldedName(name);
    bool clash = false;
    while (const dirent *entry = ::readdir(listing.value.get())) {
        if (entry->d_name != name && foldedName(entry->d_name) == folded) {
            clash = true;
            break;
        }
    }
    if (clash)
        run.failWithReason(result, target, {EEXIST, "copy"}, caseClashReason);
    return clash;
}

} // namespace

Result copyTree(const Params &params, ProgressSink &progress, const std::atomic<bool> &stop, RunShared *shared)
{
    Result result;
    const std::string source = normalized(params.source);
    const std::string target = normalized(params.target);
    if (endsBeforeStart(params, source, baseName(source), stop, result) || !runUsable(shared, result))
        return result;
    raiseDescriptorLimit();
    HardLinks ownLinks;
    RunContext run(params, progress, stop, shared != nullptr ? shared->hardLinks : ownLinks, goneCheck(shared),
                   shared != nullptr ? std::optional<int>(shared->umask) : std::nullopt);

    // The source as it is now: a folder that has become a link is copied as
    // a link, one that has gone is reported; nothing outside it is read.
    Place from;
    if (const Error error = openPlace(params.sourceRoot, source, from, sourceRootIn(shared, params))) {
        failSource(result, source, error);
        return result;
    }
    struct stat sourceInfo {};
    UniqueFd sourceFd = std::move(from.self);
    bool isLink = false;
    if (!from.name.empty()) {
        if (::fstatat(from.parent.get(), from.name.c_str(), &sourceInfo, AT_SYMLINK_NOFOLLOW) != 0) {
            failSource(result, source, lastError("read information"));
            return result;
        }
        isLink = S_ISLNK(sourceInfo.st_mode);
        if (!isLink) {
            sourceFd = UniqueFd(
                ::openat(from.parent.get(), from.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            isLink = !sourceFd.valid() && errno == ELOOP; // became a link just now
            if (!sourceFd.valid() && !isLink) {
                failSource(result, source, lastError("open folder"));
                return result;
            }
        }
    }
    if (!isLink && ::fstat(sourceFd.get(), &sourceInfo) != 0) {
        failSource(result, source, lastError("open folder"));
        return result;
    }

    Place to;
    if (const Error error = shared != nullptr ? openPlaceInRun(*shared, target, to)
                                              : openPlace(params.targetRoot, target, to)) {
        failDestination(result, target, error);
        return result;
    }
    // Directly in a run's backup folder: the run knows that folder's names.
    const bool inBackupFolder
        = shared != nullptr && !to.name.empty() && normalized(parentOf(target)) == shared->backupPath();
    if (isLink) {
        if (to.name.empty()) {
            failSource(result, source, {EEXIST, "copy"});
            return result;
        }
        struct stat parentInfo {};
        (void)::fstat(from.parent.get(), &parentInfo);
        run.granularityNs = std::max(timeGranularityNs(from.parent.get()), timeGranularityNs(to.parent.get()));
        {
            // Only the link is copied: the folders that hold it are not completed.
            Folder folder(run, std::move(from.parent), std::move(to.parent),
                          std::make_shared<FolderPath>(parentOf(source), parentOf(target)), parentInfo, false);
            copyItemAs(run, folder, from.name, to.name, DT_UNKNOWN, result);
        }
        run.collect(result);
        return result;
    }

    // A folder at a drive's root on which another filesystem is mounted
    // (/proc, /sys, /dev, /media ... when the drive is /) belongs to that
    // other filesystem: the backup keeps the folder, empty, as it does for
    // mount points further down.
    struct stat parentInfo {};
    const bool mountPoint = params.atDriveRoot && from.parent.valid() && ::fstat(from.parent.get(), &parentInfo) == 0
                            && parentInfo.st_dev != sourceInfo.st_dev;

    bool fresh = false;
    UniqueFd targetFd;
    if (to.name.empty()) {
        targetFd = std::move(to.self);
    } else {
        if (keptInPlace(run, to.parent.get(), to.name)) {
            result.kept.push_back(target);
            return result;
        }
        Opened opened = openTargetFolder(to.parent.get(), to.name.c_str(), fresh);
        if (opened.failed()) {
            failDestination(result, target, opened.error);
            return result;
        }
        targetFd = std::move(opened.value);
    }
    if (mountPoint) {
        if (::fchmod(targetFd.get(), sourceInfo.st_mode & 07777) != 0)
            run.fail(result, target, lastError("set permissions"), true);
        ++result.folders;
        result.skipped.push_back({source, SkipReason::OtherDrive});
        return result;
    }
    struct stat targetInfo {};
    if (::fstat(targetFd.get(), &targetInfo) != 0) {
        failDestination(result, target, lastError("open folder"));
        return result;
    }
    if (!fresh) {
        removeLeftovers(targetFd.get(), sourceFd.get());
        if (const Error error = makeWritable(targetFd.get()))
            run.fail(result, target, error, true);
    }
    run.granularityNs = std::max(timeGranularityNs(sourceFd.get()), timeGranularityNs(targetFd.get()));
    if (shared != nullptr) {
        run.destination = shared->destination(run.asRoot);
        run.destination.inheritsAcls = ::fgetxattr(targetFd.get(), "system.posix_acl_default", nullptr, 0) > 0;
    } else {
        run.destination = probeDestination(targetFd.get(), run.asRoot);
    }
    if (inBackupFolder) {
        if (run.destination.foldsCase && shared->clashesInBackupFolder(to.name)) {
            run.failWithReason(result, target, {EEXIST, "copy"}, caseClashReason);
            return result;
        }
    } else if (!to.name.empty() && clashesIn(run, to.parent.get(), to.name, target, result)) {
        return result;
    }
    ++result.folders;

    auto root = std::make_shared<Folder>(run, std::move(sourceFd), std::move(targetFd),
                                         std::make_shared<FolderPath>(source, target), sourceInfo, fresh);
    root->setPrevious(shared != nullptr ? openPreviousInRun(*shared, target) : openPrevious(params));
    TreeCopy copy(run, targetInfo, root->sourceFd());
    result.merge(copy.run(std::move(root)));
    run.collect(result);
    return result;
}

Result copyFile(const Params &params, ProgressSink &progress, const std::atomic<bool> &stop, RunShared *shared)
{
    Result result;
    const std::string source = normalized(params.source);
    const std::string target = normalized(params.target);
    const std::string name = baseName(source);
    if (endsBeforeStart(params, source, name, stop, result) || !runUsable(shared, result))
        return result;
    HardLinks ownLinks;
    RunContext run(params, progress, stop, shared != nullptr ? shared->hardLinks : ownLinks, goneCheck(shared),
                   shared != nullptr ? std::optional<int>(shared->umask) : std::nullopt);

    Place from;
    if (const Error error = openPlace(params.sourceRoot, source, from, sourceRootIn(shared, params))) {
        failSource(result, source, error);
        return result;
    }
    if (from.name.empty()) {
        failSource(result, source, {EISDIR, "copy"});
        return result;
    }
    struct stat info {};
    if (::fstatat(from.parent.get(), from.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        failSource(result, source, lastError("read information"));
        return result;
    }
    if (S_ISDIR(info.st_mode)) {
        failSource(result, source, {EISDIR, "copy"});
        return result;
    }
    // The target is the backup folder itself: made when missing, never
    // replaced, never followed.
    Place to;
    if (const Error error = shared != nullptr ? openPlaceInRun(*shared, target, to)
                                              : openPlace(params.targetRoot, target, to)) {
        failDestination(result, target, error);
        return result;
    }
    const bool inBackupFolder = shared != nullptr && to.name.empty();
    bool fresh = false;
    UniqueFd targetFd = std::move(to.self);
    if (!to.name.empty()) {
        constexpr int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
        UniqueFd fd(::openat(to.parent.get(), to.name.c_str(), flags));
        Error error = fd.valid() ? Error{} : lastError("open folder");
        if (error.code == ENOENT) {
            fresh = ::mkdirat(to.parent.get(), to.name.c_str(), 0777) == 0;
            if (fresh || errno == EEXIST) {
                fd = UniqueFd(::openat(to.parent.get(), to.name.c_str(), flags));
                error = fd.valid() ? Error{} : lastError("open folder");
            } else {
                error = lastError("create folder");
            }
        }
        if (error) {
            failDestination(result, target, error);
            return result;
        }
        targetFd = std::move(fd);
    }
    // A run's backup folder is swept once, not once per file in it.
    if (!fresh && (!inBackupFolder || shared->takeLeftoverSweep()))
        removeLeftovers(targetFd.get(), from.parent.get());
    run.granularityNs = std::max(timeGranularityNs(from.parent.get()), timeGranularityNs(targetFd.get()));
    if (inBackupFolder) {
        run.destination = shared->destination(run.asRoot);
        if (run.destination.foldsCase && shared->clashesInBackupFolder(name)) {
            run.failWithReason(result, joinPath(target, name), {EEXIST, "copy"}, caseClashReason);
            return result;
        }
    } else {
        if (shared != nullptr) {
            run.destination = shared->destination(run.asRoot);
            run.destination.inheritsAcls = ::fgetxattr(targetFd.get(), "system.posix_acl_default", nullptr, 0) > 0;
        } else {
            run.destination = probeDestination(targetFd.get(), run.asRoot);
        }
        if (clashesIn(run, targetFd.get(), name, joinPath(target, name), result))
            return result;
    }
    {
        struct stat parentInfo {};
        (void)::fstat(from.parent.get(), &parentInfo);
        // One item is copied: the folders that hold it are not completed.
        Folder folder(run, std::move(from.parent), std::move(targetFd),
                      std::make_shared<FolderPath>(parentOf(source), target), parentInfo, fresh);
        folder.setPrevious(shared != nullptr ? openPreviousInRun(*shared, target) : openPrevious(params));
        copyItem(run, folder, name, DT_UNKNOWN, result);
    }
    run.collect(result);
    return result;
}

} // namespace drovanta::engine::posix
