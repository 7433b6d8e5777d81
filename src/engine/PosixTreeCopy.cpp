#include "engine/PosixTreeCopy.h"

#include "engine/FaultInjection.h"
#include "engine/JobQueue.h"
#include "engine/PosixCopyRun.h"
#include "engine/PosixItemCopy.h"
#include "engine/PosixRunContext.h"
#include "engine/RunStart.h"
#include "engine/SystemItems.h"

#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <functional>
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
// Files of one folder that a rerun checks in one job. Checking an unchanged
// file takes two stats, less than waking a worker for it: one job each
// would spend the run handing jobs over.
constexpr std::size_t rerunJobFiles = 32;

struct Job {
    std::shared_ptr<Folder> folder;
    std::string name;
    unsigned char type = DT_UNKNOWN;
    // On a rerun: further files of the same folder for the same worker.
    std::vector<std::pair<std::string, unsigned char>> more{};
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
                                             [&](const auto &firstWorker) {
                                                 m_firstWorker = firstWorker;
                                                 walk(std::move(root));
                                                 m_firstWorker = nullptr;
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
                result.stopped = result.stopped || m_run.stopRequested(); // drain, finishing the folders
            } else {
                const auto started = std::chrono::steady_clock::now();
                copyOne(*job->folder, job->name, job->type, result);
                for (const auto &[name, type] : job->more) {
                    if (m_run.cutShort()) {
                        result.stopped = result.stopped || m_run.stopRequested();
                        break;
                    }
                    copyOne(*job->folder, name, type, result);
                }
                // What one item took: a job of many quick checks is still quick work.
                const auto took = std::chrono::steady_clock::now() - started;
                m_queue.jobTook(took / static_cast<long>(1 + job->more.size()));
            }
            finish(*job->folder, result);
        }
    }

    // An item queued in `folder` is done, or the walk is done listing it:
    // the last of them completes the folder, into `result`.
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
            checkDestination();
            std::string name;
            unsigned char type = DT_UNKNOWN;
            if (!nextEntry(name, type)) {
                handOver();
                leave();
                continue;
            }
            const std::shared_ptr<Folder> &folder = m_levels.back().folder;
            if (folder->foldsCase() && !folder->claimName(name)) {
                m_run.failWithReason(m_walkResult, joinPath(folder->sourcePath(), name), {EEXIST, "copy"},
                                     caseClashReason);
                continue;
            }
            struct stat info {};
            if (type == DT_DIR || type == DT_UNKNOWN) {
                handOver();
                if (::fstatat(folder->sourceFd(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
                    m_run.fail(m_walkResult, joinPath(folder->sourcePath(), name), lastError("read information"),
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
        for (auto level = m_levels.rbegin(); level != m_levels.rend(); ++level) {
            if (level->folder != nullptr)
                finish(*level->folder, m_walkResult);
        }
        m_levels.clear();
    }

    // Fails the destination once the backup folder is no longer where the
    // run found it (a drive pulled mid-run); looked at about twice a second.
    void checkDestination()
    {
        if (!m_run.destinationGone || ++m_sinceCheck < 256)
            return;
        m_sinceCheck = 0;
        const auto now = std::chrono::steady_clock::now();
        if (now - m_lastCheck < std::chrono::milliseconds(500))
            return;
        m_lastCheck = now;
        if (m_run.destinationGone())
            m_run.failDestination(m_levels.back().folder->targetPath(), {ENODEV, "write"});
    }

    void queue(Job job)
    {
        if (m_firstWorker) { // the first job: the first worker starts only now
            m_inline = !m_firstWorker();
            m_firstWorker = nullptr;
        }
        if (m_inline) {
            job.folder->itemQueued();
            copyOne(*job.folder, job.name, job.type, m_walkResult);
            finish(*job.folder, m_walkResult);
            return;
        }
        // A file of a folder that an earlier run copied is most likely
        // unchanged: gathered with the next ones of its folder.
        if (!job.folder->fresh() && m_run.params.skipUnchanged && (job.type == DT_REG || job.type == DT_LNK)) {
            if (m_gathered.folder != nullptr && m_gathered.folder != job.folder)
                queueGathered();
            if (m_gathered.folder == nullptr)
                m_gathered = std::move(job);
            else
                m_gathered.more.emplace_back(std::move(job.name), job.type);
            if (1 + m_gathered.more.size() >= rerunJobFiles)
                handOver();
            return;
        }
        job.folder->itemQueued();
        m_batch.push_back(std::move(job));
        if (m_batch.size() >= batchSize)
            handOver();
    }

    void queueGathered()
    {
        if (m_gathered.folder == nullptr)
            return;
        m_gathered.folder->itemQueued();
        m_batch.push_back(std::move(m_gathered));
        m_gathered = Job{};
    }

    void handOver()
    {
        queueGathered();
        m_queue.pushAll(m_batch);
    }

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
                    m_run.fail(m_walkResult, level.folder->sourcePath(), lastError("list folder"), false);
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
        if (keptInPlace(m_run, parent->fresh() ? -1 : parent->targetFd(), name)) {
            m_walkResult.kept.push_back(path->target());
            return;
        }
        const bool mountPoint = info.st_dev != parent->sourceInfo().st_dev;

        UniqueDir stream;
        if (!mountPoint) {
            UniqueFd fd(::openat(parent->sourceFd(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!fd.valid() && errno == ELOOP) { // became a link since it was listed: copied as one
                queue(Job{parent, name, DT_LNK});
                return;
            }
            if (!fd.valid()) {
                const Error error = lastError("open folder");
                m_run.fail(m_walkResult, path->source(), error, false);
                return;
            }
            Outcome<UniqueDir> listing = streamOn(std::move(fd), "open folder");
            if (listing.failed()) {
                m_run.fail(m_walkResult, path->source(), listing.error, false);
                return;
            }
            stream = std::move(listing.value);
        }

        bool fresh = false;
        Opened target = openTargetFolder(parent->targetFd(), name.c_str(), fresh);
        if (target.failed()) {
            m_run.fail(m_walkResult, path->target(), target.error, true);
            return;
        }
        const int targetFd = target.value.get();
        if (!fresh && stream.valid()) {
            removeLeftovers(targetFd, stream.fd());
            if (const Error error = makeWritable(targetFd))
                m_run.fail(m_walkResult, path->target(), error, true);
        }
        ++m_walkResult.folders;

        if (mountPoint) {
            // Another filesystem is mounted here; the backup of this drive
            // keeps the folder, not what is mounted on it.
            if (const Error error = applyFolderMetadata(m_run, -1, targetFd, info, false))
                m_run.fail(m_walkResult, path->target(), error, true);
            m_walkResult.skipped.push_back({path->source(), SkipReason::OtherDrive});
            return;
        }
        Level level;
        if (::fstat(stream.fd(), &level.sourceInfo) != 0)
            level.sourceInfo = info;
        level.path = path;
        level.fresh = fresh;
        level.folder = std::make_shared<Folder>(m_run, std::move(stream), std::move(target.value), std::move(path),
                                                level.sourceInfo, fresh);
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
    // A closed level is not complete: the walk completes it once it has
    // opened it again and listed the rest.
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
                            m_run.fail(m_walkResult, level.folder->sourcePath(), lastError("list folder"), false);
                        break;
                    }
                    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                        level.rest.emplace_back(entry->d_name, entry->d_type);
                }
                level.listedAhead = true;
            }
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
        if (m_levels[index].folder != nullptr) {
            finish(*m_levels[index].folder, m_walkResult);
            --m_open;
        }
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
            Opened sourceOpened = openBeneath(open.sourceFd(), names);
            Opened targetOpened
                = sourceOpened.failed() ? Opened(sourceOpened.error) : openBeneath(open.targetFd(), names);
            source = std::move(sourceOpened.value);
            target = std::move(targetOpened.value);
            if (targetOpened.failed() || !isLevel(level, source.get(), target.get())) {
                m_run.fail(m_walkResult, level.path->source(),
                           targetOpened.failed() ? targetOpened.error : Error{ENOENT, "open folder"}, false);
                level.rest.clear();
                level.listedAhead = true;
                return;
            }
        }
        level.folder = std::make_shared<Folder>(m_run, std::move(source), std::move(target), level.path,
                                                level.sourceInfo, level.fresh);
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
        if (Opened previous = openBeneath(m_levels[anchor - 1].folder->previousFd(), names); !previous.failed())
            m_levels[index].folder->setPrevious(std::move(previous.value));
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
    std::function<bool()> m_firstWorker; // until the first job is queued
    bool m_inline = false;
    std::vector<Job> m_batch;
    Job m_gathered; // a rerun's files of one folder, not yet queued
    std::vector<Level> m_levels;
    std::size_t m_open = 0;
    std::size_t m_lowestOpen = 1;
    unsigned m_sinceCheck = 0;
    std::chrono::steady_clock::time_point m_lastCheck = std::chrono::steady_clock::now();
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
    Outcome<UniqueDir> listing = streamOn(std::move(sourceFd), "open folder");
    if (listing.failed()) {
        failSource(result, source, listing.error);
        return result;
    }
    ++result.folders;

    auto root = std::make_shared<Folder>(run, std::move(listing.value), std::move(targetFd),
                                         std::make_shared<FolderPath>(source, target), sourceInfo, fresh);
    root->setPrevious(shared != nullptr ? openPreviousInRun(*shared, target) : openPrevious(params));
    TreeCopy copy(run, targetInfo);
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
