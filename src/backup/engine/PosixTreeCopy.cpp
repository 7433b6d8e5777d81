#include "backup/engine/PosixTreeCopy.h"

#include "backup/engine/JobQueue.h"
#include "backup/engine/PosixItemCopy.h"
#include "backup/engine/PosixRunContext.h"
#include "backup/engine/RunStart.h"
#include "backup/engine/SystemItems.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <exception>
#include <memory>
#include <span>
#include <thread>
#include <utility>
#include <vector>

namespace drovanta::engine::posix {

namespace {

// Enough queued files to keep the workers busy while the walk reads a large
// folder, few enough that a million-entry tree needs no more memory.
constexpr std::size_t queueCapacity = 2048;
// Files the walk gathers before it hands them to the workers together. It
// hands them over sooner whenever it may wait (before it looks at a folder,
// at the end of one), so that no worker waits on a gathered file.
constexpr std::size_t batchSize = 64;

struct Job {
    std::shared_ptr<Folder> folder;
    std::string name;
    unsigned char type = DT_UNKNOWN;
};

std::string normalized(std::string path)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

std::string baseName(const std::string &path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string parentOf(const std::string &path)
{
    const auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// A folder merged into must take new items even when a previous run gave it
// a read-only mode; its own mode is set again once it is complete.
int makeWritable(int fd)
{
    struct stat info {};
    if (::fstat(fd, &info) != 0)
        return errno;
    if ((info.st_mode & 0700) != 0700 && ::fchmod(fd, (info.st_mode & 07777) | 0700) != 0)
        return errno;
    return 0;
}

// Opens (creating when missing) the copy of folder `name`. A link or file of
// that name in the target is replaced: the source has a folder there.
int openTargetFolder(int parentFd, const char *name, bool &fresh)
{
    constexpr int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    fresh = ::mkdirat(parentFd, name, 0700) == 0;
    if (!fresh && errno != EEXIST)
        return -errno;
    int fd = ::openat(parentFd, name, flags);
    if (fd < 0 && !fresh && (errno == ENOTDIR || errno == ELOOP)) {
        if (::unlinkat(parentFd, name, 0) != 0 || ::mkdirat(parentFd, name, 0700) != 0)
            return -errno;
        fresh = true;
        fd = ::openat(parentFd, name, flags);
    }
    return fd < 0 ? -errno : fd;
}

// Folders along the walk's path that stay open (a source and a target
// descriptor each). Deeper trees close the levels above these and open them
// again, through "..", on the way back: descriptors stay bounded however deep
// the tree is.
constexpr std::size_t openLevels = 64;

// One level of the walk's path. A closed level keeps its place in the chain
// of names and its identity (device and inode on both sides), never a full
// path: a chain of 100,000 folders would otherwise hold gigabytes of text.
struct Level {
    std::shared_ptr<Folder> folder; // null while closed
    std::shared_ptr<FolderPath> path;
    struct stat sourceInfo {};
    dev_t targetDevice = 0;
    ino_t targetInode = 0;
    bool fresh = false;
    // Read ahead when the level was closed: what is left of its listing.
    bool listedAhead = false;
    std::vector<std::pair<std::string, unsigned char>> rest;
    std::size_t next = 0;
};

class TreeCopy final {
public:
    TreeCopy(RunContext &run, const struct stat &targetRoot)
        : m_run(run), m_queue(queueCapacity), m_targetRoot(targetRoot)
    {
    }

    Result run(std::shared_ptr<Folder> root)
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
                result.stopped = result.stopped || m_run.stopRequested();
                continue; // drain, letting go of the folders
            }
            copyOne(*job, result);
        }
    }

    void copyOne(const Job &job, Result &result)
    {
        try {
            copyItem(m_run, *job.folder, job.name, job.type, result);
        } catch (const std::exception &) {
            m_run.fail(result, joinPath(job.folder->sourcePath(), job.name), "copy", ENOMEM, false);
        }
    }

    // Walks the tree depth first with the path held in m_levels, not on the
    // call stack: the depth of the tree is the user's to choose.
    void walk(std::shared_ptr<Folder> root)
    {
        Level first;
        first.sourceInfo = root->sourceInfo();
        first.path = root->path();
        first.folder = std::move(root);
        m_levels.push_back(std::move(first));
        m_open = 1;
        while (!m_levels.empty()) {
            if (m_run.cutShort()) {
                m_walkResult.stopped = m_walkResult.stopped || m_run.stopRequested();
                break;
            }
            std::string name;
            unsigned char type = DT_UNKNOWN;
            if (!nextEntry(name, type)) {
                handOver();
                leave();
                continue;
            }
            const std::shared_ptr<Folder> &folder = m_levels.back().folder;
            if (folder->foldsCase() && !folder->claimName(name)) {
                m_run.failWithReason(m_walkResult, joinPath(folder->sourcePath(), name), "copy", EEXIST,
                                     caseClashReason);
                continue;
            }
            struct stat info {};
            if (type == DT_DIR || type == DT_UNKNOWN) {
                handOver();
                if (::fstatat(folder->sourceFd(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
                    m_run.fail(m_walkResult, joinPath(folder->sourcePath(), name), "read information", errno,
                               false);
                    continue;
                }
                type = S_ISDIR(info.st_mode) ? DT_DIR
                    : S_ISREG(info.st_mode)  ? DT_REG
                    : S_ISLNK(info.st_mode)  ? DT_LNK
                                             : DT_UNKNOWN;
            }
            if (type == DT_DIR) {
                enter(name, info);
            } else { // files, links, FIFOs, devices, sockets
                queue(Job{folder, std::move(name), type});
            }
        }
        handOver();
        // Stopped: the open folders are let go (and completed as their last
        // file finishes); closed ones keep what they have.
        m_levels.clear();
    }

    void queue(Job job)
    {
        if (m_inline) {
            copyOne(job, m_walkResult);
            return;
        }
        m_batch.push_back(std::move(job));
        if (m_batch.size() >= batchSize)
            handOver();
    }

    void handOver() { m_queue.pushAll(m_batch); }

    // The next entry of the deepest level; false at its end.
    bool nextEntry(std::string &name, unsigned char &type)
    {
        Level &level = m_levels.back();
        if (level.listedAhead) {
            if (level.next >= level.rest.size())
                return false;
            auto &entry = level.rest[level.next++];
            name = std::move(entry.first);
            type = entry.second;
            return true;
        }
        for (;;) {
            errno = 0;
            const dirent *entry = ::readdir(level.folder->stream());
            if (entry == nullptr) {
                if (errno != 0)
                    m_run.fail(m_walkResult, level.folder->sourcePath(), "list folder", errno, false);
                return false;
            }
            if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
                continue;
            name = entry->d_name;
            type = entry->d_type;
            return true;
        }
    }

    void enter(const std::string &name, const struct stat &info)
    {
        const std::shared_ptr<Folder> &parent = m_levels.back().folder;
        if (info.st_dev == m_targetRoot.st_dev && info.st_ino == m_targetRoot.st_ino) {
            m_walkResult.skipped.push_back({joinPath(parent->sourcePath(), name), SkipReason::BackupItself});
            return;
        }
        auto path = std::make_shared<FolderPath>(parent->path(), name);
        const bool mountPoint = info.st_dev != parent->sourceInfo().st_dev;

        DIR *stream = nullptr;
        if (!mountPoint) {
            const int fd = ::openat(parent->sourceFd(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (fd < 0 && errno == ELOOP) { // became a link since it was listed: copied as one
                queue(Job{parent, name, DT_LNK});
                return;
            }
            if (fd < 0) {
                m_run.fail(m_walkResult, path->source(), "open folder", errno, false);
                return;
            }
            stream = ::fdopendir(fd);
            if (stream == nullptr) {
                m_run.fail(m_walkResult, path->source(), "open folder", errno, false);
                ::close(fd);
                return;
            }
        }

        bool fresh = false;
        const int targetFd = openTargetFolder(parent->targetFd(), name.c_str(), fresh);
        if (targetFd < 0) {
            if (stream != nullptr)
                ::closedir(stream);
            m_run.fail(m_walkResult, path->target(), "create folder", -targetFd, true);
            return;
        }
        UniqueFd target(targetFd);
        if (!fresh && stream != nullptr) {
            removeLeftovers(targetFd, ::dirfd(stream));
            if (const int code = makeWritable(targetFd); code != 0)
                m_run.fail(m_walkResult, path->target(), "set permissions", code, true);
        }
        ++m_walkResult.folders;

        if (mountPoint) {
            // Another filesystem is mounted here; the backup of this drive
            // keeps the folder, not what is mounted on it.
            const char *operation = "";
            if (const int code = applyFolderMetadata(m_run, -1, targetFd, info, false, operation); code != 0)
                m_run.fail(m_walkResult, path->target(), operation, code, true);
            m_walkResult.skipped.push_back({path->source(), SkipReason::OtherDrive});
            return;
        }
        Level level;
        if (::fstat(::dirfd(stream), &level.sourceInfo) != 0)
            level.sourceInfo = info;
        level.path = path;
        level.fresh = fresh;
        level.folder = std::make_shared<Folder>(m_run, stream, -1, std::move(target), std::move(path),
                                                level.sourceInfo, fresh, true);
        if (parent->previousFd() >= 0)
            level.folder->setPrevious(UniqueFd(
                ::openat(parent->previousFd(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)));
        level.targetDevice = level.folder->targetDevice();
        level.targetInode = level.folder->targetInode();
        m_levels.push_back(std::move(level));
        ++m_open;
        closeDeepLevels();
    }

    // Closes levels above the deepest `openLevels` whose files are all
    // copied; a level with files still queued stays open until they are.
    void closeDeepLevels()
    {
        if (m_open <= openLevels)
            return;
        const std::size_t limit = m_levels.size() - openLevels;
        m_lowestOpen = std::max<std::size_t>(m_lowestOpen, 1); // the tree's own folder stays open
        for (std::size_t i = m_lowestOpen; i < limit && m_open > openLevels; ++i) {
            Level &level = m_levels[i];
            if (level.folder == nullptr || level.folder.use_count() != 1)
                continue;
            std::atomic_thread_fence(std::memory_order_acquire); // the workers are done with its descriptors
            if (!level.listedAhead) {
                for (;;) {
                    errno = 0;
                    const dirent *entry = ::readdir(level.folder->stream());
                    if (entry == nullptr) {
                        if (errno != 0)
                            m_run.fail(m_walkResult, level.folder->sourcePath(), "list folder", errno, false);
                        break;
                    }
                    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                        level.rest.emplace_back(entry->d_name, entry->d_type);
                }
                level.listedAhead = true;
            }
            level.folder->handOverCompletion();
            level.folder.reset();
            --m_open;
        }
        while (m_lowestOpen < limit && m_levels[m_lowestOpen].folder == nullptr)
            ++m_lowestOpen;
    }

    // Leaves the deepest level, opening the level above again when it was
    // closed.
    void leave()
    {
        const std::size_t index = m_levels.size() - 1;
        if (index > 0 && m_levels[index - 1].folder == nullptr)
            reopen(index - 1);
        if (m_levels[index].folder != nullptr)
            --m_open;
        m_levels.pop_back();
        m_lowestOpen = std::min(m_lowestOpen, m_levels.size());
    }

    // Opens closed level `index` again: through ".." of the level below it
    // when that is open, else by name from the nearest open level above,
    // never through a link. Either way it must be the same folder as before
    // (device and inode) on both sides; one that was moved or replaced in
    // the meantime is reported and the rest of it is not copied.
    void reopen(std::size_t index)
    {
        Level &level = m_levels[index];
        const Level &below = m_levels[index + 1];
        UniqueFd source;
        UniqueFd target;
        if (below.folder != nullptr) {
            source = UniqueFd(::openat(below.folder->sourceFd(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            target = UniqueFd(::openat(below.folder->targetFd(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        }
        if (!isLevel(level, source.get(), target.get())) {
            std::size_t anchor = index;
            while (m_levels[anchor - 1].folder == nullptr) // the tree's own folder is never closed
                --anchor;
            const Folder &open = *m_levels[anchor - 1].folder;
            std::vector<std::string> names;
            for (std::size_t i = anchor; i <= index; ++i)
                names.push_back(m_levels[i].path->name());
            int fd = openBeneath(open.sourceFd(), names);
            source = UniqueFd(fd);
            fd = fd < 0 ? fd : openBeneath(open.targetFd(), names);
            target = UniqueFd(fd);
            if (fd < 0 || !isLevel(level, source.get(), target.get())) {
                m_run.fail(m_walkResult, level.path->source(), "open folder", fd < 0 ? -fd : ENOENT, false);
                level.rest.clear();
                level.listedAhead = true;
                return;
            }
        }
        level.folder = std::make_shared<Folder>(m_run, nullptr, source.release(), std::move(target), level.path,
                                                level.sourceInfo, level.fresh, true);
        reopenPrevious(index);
        ++m_open;
    }

    // The earlier backup's folder of reopened level `index`, by name from
    // the nearest open level above that has one.
    void reopenPrevious(std::size_t index)
    {
        std::size_t anchor = index;
        while (anchor > 0 && m_levels[anchor - 1].folder == nullptr)
            --anchor;
        if (anchor == 0 || m_levels[anchor - 1].folder->previousFd() < 0)
            return;
        std::vector<std::string> names;
        for (std::size_t i = anchor; i <= index; ++i)
            names.push_back(m_levels[i].path->name());
        const int fd = openBeneath(m_levels[anchor - 1].folder->previousFd(), names);
        if (fd >= 0)
            m_levels[index].folder->setPrevious(UniqueFd(fd));
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
    JobQueue<Job> m_queue;
    struct stat m_targetRoot;
    Result m_walkResult;
    bool m_inline = false;
    std::vector<Job> m_batch;
    std::vector<Level> m_levels;
    std::size_t m_open = 0;
    std::size_t m_lowestOpen = 1;
};

// Where an item named by a path lies: the folder that holds it, opened
// beneath the root, and its name there. When the path is the root itself,
// `self` holds the root and `name` is empty.
struct Place {
    UniqueFd parent;
    std::string name;
    UniqueFd self;
};

// 0 or the errno.
int openPlace(const std::string &root, const std::string &path, Place &place)
{
    BeneathRoot split;
    if (const int code = splitAtRoot(root, path, split); code != 0)
        return code;
    const int rootFd = openFolderPath(split.root);
    if (rootFd < 0)
        return -rootFd;
    UniqueFd opened(rootFd);
    if (split.below.empty()) {
        place.self = std::move(opened);
        return 0;
    }
    place.name = split.below.back();
    if (split.below.size() == 1) {
        place.parent = std::move(opened);
        return 0;
    }
    const int fd = openBeneath(rootFd, std::span(split.below).first(split.below.size() - 1));
    if (fd < 0)
        return -fd;
    place.parent = UniqueFd(fd);
    return 0;
}

// The earlier backup's folder named by `params.previousTarget`, opened
// beneath the target root without following a link; invalid when there is
// none to share with.
UniqueFd openPrevious(const Params &params)
{
    if (params.previousTarget.empty())
        return {};
    Place place;
    if (openPlace(params.targetRoot, normalized(params.previousTarget), place) != 0)
        return {};
    if (place.name.empty())
        return std::move(place.self);
    return UniqueFd(::openat(place.parent.get(), place.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

void failDestination(Result &result, const std::string &path, const char *operation, int code)
{
    result.destinationFailed = true;
    result.destinationFailure = {path, operation, errorText(code), code};
}

// Runs of the engine copy one item of a drive's root each, into the same
// backup folder. On a destination that folds case, an item whose name
// differs only in case from one already in that folder (`folderFd`) would
// land on it.
bool clashesIn(RunContext &run, int folderFd, const std::string &name, const std::string &target, Result &result)
{
    if (!run.destination.foldsCase)
        return false;
    const int fd = ::openat(folderFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *stream = fd >= 0 ? ::fdopendir(fd) : nullptr;
    if (stream == nullptr) {
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    const std::string folded = foldedName(name);
    bool clash = false;
    while (const dirent *entry = ::readdir(stream)) {
        if (entry->d_name != name && foldedName(entry->d_name) == folded) {
            clash = true;
            break;
        }
    }
    ::closedir(stream);
    if (clash)
        run.failWithReason(result, target, "copy", EEXIST, caseClashReason);
    return clash;
}

} // namespace

Result copyTree(const Params &params, ProgressSink &progress, const std::atomic<bool> &stop)
{
    Result result;
    const std::string source = normalized(params.source);
    const std::string target = normalized(params.target);
    if (endsBeforeStart(params, source, baseName(source), stop, result))
        return result;
    raiseDescriptorLimit();
    RunContext run(params, progress, stop);

    // The source as it is now: a folder that has become a link is copied as
    // a link, one that has gone is reported; nothing outside it is read.
    Place from;
    if (const int code = openPlace(params.sourceRoot, source, from); code != 0) {
        result.failures.push_back({source, "open folder", errorText(code), code});
        return result;
    }
    struct stat sourceInfo {};
    UniqueFd sourceFd = std::move(from.self);
    bool isLink = false;
    if (!from.name.empty()) {
        if (::fstatat(from.parent.get(), from.name.c_str(), &sourceInfo, AT_SYMLINK_NOFOLLOW) != 0) {
            result.failures.push_back({source, "read information", errorText(errno), errno});
            return result;
        }
        isLink = S_ISLNK(sourceInfo.st_mode);
        if (!isLink) {
            sourceFd = UniqueFd(
                ::openat(from.parent.get(), from.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            isLink = !sourceFd.valid() && errno == ELOOP; // became a link just now
            if (!sourceFd.valid() && !isLink) {
                result.failures.push_back({source, "open folder", errorText(errno), errno});
                return result;
            }
        }
    }
    if (!isLink && ::fstat(sourceFd.get(), &sourceInfo) != 0) {
        result.failures.push_back({source, "open folder", errorText(errno), errno});
        return result;
    }

    Place to;
    if (const int code = openPlace(params.targetRoot, target, to); code != 0) {
        failDestination(result, target, "open folder", code);
        return result;
    }
    if (isLink) {
        if (to.name.empty()) {
            result.failures.push_back({source, "copy", errorText(EEXIST), EEXIST});
            return result;
        }
        struct stat parentInfo {};
        (void)::fstat(from.parent.get(), &parentInfo);
        run.granularityNs = std::max(timeGranularityNs(from.parent.get()), timeGranularityNs(to.parent.get()));
        {
            Folder folder(run, nullptr, from.parent.release(), std::move(to.parent),
                          std::make_shared<FolderPath>(parentOf(source), parentOf(target)), parentInfo, false, false);
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
        const int fd = openTargetFolder(to.parent.get(), to.name.c_str(), fresh);
        if (fd < 0) {
            failDestination(result, target, "create folder", -fd);
            return result;
        }
        targetFd = UniqueFd(fd);
    }
    if (mountPoint) {
        if (::fchmod(targetFd.get(), sourceInfo.st_mode & 07777) != 0)
            run.fail(result, target, "set permissions", errno, true);
        ++result.folders;
        result.skipped.push_back({source, SkipReason::OtherDrive});
        return result;
    }
    struct stat targetInfo {};
    if (::fstat(targetFd.get(), &targetInfo) != 0) {
        failDestination(result, target, "open folder", errno);
        return result;
    }
    if (!fresh) {
        removeLeftovers(targetFd.get(), sourceFd.get());
        if (const int code = makeWritable(targetFd.get()); code != 0)
            run.fail(result, target, "set permissions", code, true);
    }
    run.granularityNs = std::max(timeGranularityNs(sourceFd.get()), timeGranularityNs(targetFd.get()));
    run.destination = probeDestination(targetFd.get(), run.asRoot);
    if (!to.name.empty() && clashesIn(run, to.parent.get(), to.name, target, result))
        return result;
    DIR *stream = ::fdopendir(sourceFd.get());
    if (stream == nullptr) {
        result.failures.push_back({source, "open folder", errorText(errno), errno});
        return result;
    }
    (void)sourceFd.release(); // the stream owns it now
    ++result.folders;

    auto root = std::make_shared<Folder>(run, stream, -1, std::move(targetFd),
                                         std::make_shared<FolderPath>(source, target), sourceInfo, fresh, true);
    root->setPrevious(openPrevious(params));
    TreeCopy copy(run, targetInfo);
    result.merge(copy.run(std::move(root)));
    run.collect(result);
    return result;
}

Result copyFile(const Params &params, ProgressSink &progress, const std::atomic<bool> &stop)
{
    Result result;
    const std::string source = normalized(params.source);
    const std::string target = normalized(params.target);
    const std::string name = baseName(source);
    if (endsBeforeStart(params, source, name, stop, result))
        return result;
    RunContext run(params, progress, stop);

    Place from;
    if (const int code = openPlace(params.sourceRoot, source, from); code != 0) {
        result.failures.push_back({source, "open folder", errorText(code), code});
        return result;
    }
    if (from.name.empty()) {
        result.failures.push_back({source, "copy", errorText(EISDIR), EISDIR});
        return result;
    }
    struct stat info {};
    if (::fstatat(from.parent.get(), from.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        result.failures.push_back({source, "read information", errorText(errno), errno});
        return result;
    }
    if (S_ISDIR(info.st_mode)) {
        result.failures.push_back({source, "copy", errorText(EISDIR), EISDIR});
        return result;
    }
    // The target is the backup folder itself: made when missing, never
    // replaced, never followed.
    Place to;
    if (const int code = openPlace(params.targetRoot, target, to); code != 0) {
        failDestination(result, target, "open folder", code);
        return result;
    }
    bool fresh = false;
    UniqueFd targetFd = std::move(to.self);
    if (!to.name.empty()) {
        constexpr int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
        int fd = ::openat(to.parent.get(), to.name.c_str(), flags);
        const char *operation = "open folder";
        if (fd < 0 && errno == ENOENT) {
            fresh = ::mkdirat(to.parent.get(), to.name.c_str(), 0777) == 0;
            if (fresh || errno == EEXIST)
                fd = ::openat(to.parent.get(), to.name.c_str(), flags);
            else
                operation = "create folder";
        }
        if (fd < 0) {
            failDestination(result, target, operation, errno);
            return result;
        }
        targetFd = UniqueFd(fd);
    }
    if (!fresh)
        removeLeftovers(targetFd.get(), from.parent.get());
    run.granularityNs = std::max(timeGranularityNs(from.parent.get()), timeGranularityNs(targetFd.get()));
    run.destination = probeDestination(targetFd.get(), run.asRoot);
    if (clashesIn(run, targetFd.get(), name, joinPath(target, name), result))
        return result;
    {
        struct stat parentInfo {};
        (void)::fstat(from.parent.get(), &parentInfo);
        Folder folder(run, nullptr, from.parent.release(), std::move(targetFd),
                      std::make_shared<FolderPath>(parentOf(source), target), parentInfo, fresh, false);
        folder.setPrevious(openPrevious(params));
        copyItem(run, folder, name, DT_UNKNOWN, result);
    }
    run.collect(result);
    return result;
}

} // namespace drovanta::engine::posix
