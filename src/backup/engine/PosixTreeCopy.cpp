#include "backup/engine/PosixTreeCopy.h"

#include "backup/engine/JobQueue.h"
#include "backup/engine/PosixItemCopy.h"
#include "backup/engine/PosixRunContext.h"
#include "backup/engine/SystemItems.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <memory>
#include <thread>
#include <vector>

namespace drovanta::engine::posix {

namespace {

// Enough queued files to keep the workers busy while the walk reads a large
// folder, few enough that a million-entry tree needs no more memory.
constexpr std::size_t queueCapacity = 2048;

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
                                                 walk(root);
                                                 root.reset();
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

    void walk(const std::shared_ptr<Folder> &folder)
    {
        DIR *stream = folder->stream();
        for (;;) {
            if (m_run.cutShort()) {
                m_walkResult.stopped = m_walkResult.stopped || m_run.stopRequested();
                return;
            }
            errno = 0;
            const dirent *entry = ::readdir(stream);
            if (entry == nullptr) {
                if (errno != 0)
                    m_run.fail(m_walkResult, folder->sourcePath(), "list folder", errno, false);
                return;
            }
            std::string name = entry->d_name;
            if (name == "." || name == "..")
                continue;
            if (isTemporaryName(name)) {
                m_walkResult.skipped.push_back({joinPath(folder->sourcePath(), name), SkipReason::UnfinishedCopy});
                continue;
            }
            if (folder->foldsCase() && !folder->claimName(name)) {
                m_run.failWithReason(m_walkResult, joinPath(folder->sourcePath(), name), "copy", EEXIST,
                                     caseClashReason);
                continue;
            }
            unsigned char type = entry->d_type;
            struct stat info {};
            if (type == DT_DIR || type == DT_UNKNOWN) {
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
                enterFolder(folder, name, info);
            } else { // files, links, FIFOs, devices, sockets
                Job job{folder, std::move(name), type};
                if (m_inline)
                    copyOne(job, m_walkResult);
                else
                    m_queue.push(std::move(job));
            }
        }
    }

    void enterFolder(const std::shared_ptr<Folder> &parent, const std::string &name, const struct stat &info)
    {
        std::string sourcePath = joinPath(parent->sourcePath(), name);
        if (info.st_dev == m_targetRoot.st_dev && info.st_ino == m_targetRoot.st_ino) {
            m_walkResult.skipped.push_back({std::move(sourcePath), SkipReason::BackupItself});
            return;
        }
        std::string targetPath = joinPath(parent->targetPath(), name);
        const bool mountPoint = info.st_dev != parent->sourceInfo().st_dev;

        DIR *stream = nullptr;
        if (!mountPoint) {
            const int fd = ::openat(parent->sourceFd(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (fd < 0) {
                m_run.fail(m_walkResult, sourcePath, "open folder", errno, false);
                return;
            }
            stream = ::fdopendir(fd);
            if (stream == nullptr) {
                m_run.fail(m_walkResult, sourcePath, "open folder", errno, false);
                ::close(fd);
                return;
            }
        }

        bool fresh = false;
        const int targetFd = openTargetFolder(parent->targetFd(), name.c_str(), fresh);
        if (targetFd < 0) {
            if (stream != nullptr)
                ::closedir(stream);
            m_run.fail(m_walkResult, targetPath, "create folder", -targetFd, true);
            return;
        }
        UniqueFd target(targetFd);
        if (!fresh) {
            removeLeftovers(targetFd);
            if (const int code = makeWritable(targetFd); code != 0)
                m_run.fail(m_walkResult, targetPath, "set permissions", code, true);
        }
        ++m_walkResult.folders;

        if (mountPoint) {
            // Another filesystem is mounted here; the backup of this drive
            // keeps the folder, not what is mounted on it.
            const char *operation = "";
            if (const int code = applyFolderMetadata(m_run, -1, targetFd, info, false, operation); code != 0)
                m_run.fail(m_walkResult, targetPath, operation, code, true);
            m_walkResult.skipped.push_back({std::move(sourcePath), SkipReason::OtherDrive});
            return;
        }
        struct stat current {};
        if (::fstat(::dirfd(stream), &current) != 0)
            current = info;
        auto child = std::make_shared<Folder>(m_run, stream, -1, std::move(target), std::move(sourcePath),
                                              std::move(targetPath), current, fresh, true);
        walk(child);
    }

    RunContext &m_run;
    JobQueue<Job> m_queue;
    struct stat m_targetRoot;
    Result m_walkResult;
    bool m_inline = false;
};

// Opens the target folder of a run, recording a failure as the destination's.
int openTargetRoot(const std::string &target, mode_t mode, bool &fresh, Result &result)
{
    const int fd = openFolderPath(target, true, mode, fresh);
    if (fd < 0) {
        result.destinationFailed = true;
        result.destinationFailure = {target, "create folder", errorText(-fd), -fd};
    }
    return fd;
}

// Runs of the engine copy one item of a drive's root each, into the same
// backup folder. On a destination that folds case, an item whose name
// differs only in case from one already in that folder would land on it.
bool clashesInParent(RunContext &run, const std::string &target, Result &result)
{
    if (!run.destination.foldsCase)
        return false;
    const std::string name = baseName(target);
    bool unused = false;
    const int fd = openFolderPath(parentOf(target), false, 0, unused);
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
    if (params.atDriveRoot && isDriveBookkeepingName(baseName(source))) {
        result.skipped.push_back({source, SkipReason::SystemItem});
        return result;
    }
    if (stop.load()) {
        result.stopped = true;
        return result;
    }
    raiseDescriptorLimit();
    RunContext run(params, progress, stop);

    bool unused = false;
    const int sourceFd = openFolderPath(source, false, 0, unused);
    if (sourceFd < 0) {
        result.failures.push_back({source, "open folder", errorText(-sourceFd), -sourceFd});
        return result;
    }
    DIR *stream = ::fdopendir(sourceFd);
    struct stat sourceInfo {};
    if (stream == nullptr || ::fstat(sourceFd, &sourceInfo) != 0) {
        const int code = errno;
        if (stream != nullptr)
            ::closedir(stream);
        else
            ::close(sourceFd);
        result.failures.push_back({source, "open folder", errorText(code), code});
        return result;
    }

    // A folder at a drive's root on which another filesystem is mounted
    // (/proc, /sys, /dev, /media ... when the drive is /) belongs to that
    // other filesystem: the backup keeps the folder, empty, as it does for
    // mount points further down.
    struct stat parentInfo {};
    const bool mountPoint = params.atDriveRoot && ::stat(parentOf(source).c_str(), &parentInfo) == 0 &&
                            parentInfo.st_dev != sourceInfo.st_dev;

    bool fresh = false;
    const int targetFd = openTargetRoot(target, 0700, fresh, result);
    if (mountPoint) {
        ::closedir(stream);
        if (targetFd >= 0) {
            if (::fchmod(targetFd, sourceInfo.st_mode & 07777) != 0)
                run.fail(result, target, "set permissions", errno, true);
            ::close(targetFd);
            ++result.folders;
            result.skipped.push_back({source, SkipReason::OtherDrive});
        }
        return result;
    }
    struct stat targetInfo {};
    if (targetFd >= 0 && ::fstat(targetFd, &targetInfo) != 0) {
        const int code = errno;
        ::close(targetFd);
        result.destinationFailed = true;
        result.destinationFailure = {target, "open folder", errorText(code), code};
    }
    if (result.destinationFailed) {
        ::closedir(stream);
        return result;
    }
    if (!fresh) {
        removeLeftovers(targetFd);
        if (const int code = makeWritable(targetFd); code != 0)
            run.fail(result, target, "set permissions", code, true);
    }
    run.granularityNs = std::max(timeGranularityNs(sourceFd), timeGranularityNs(targetFd));
    run.destination = probeDestination(targetFd, run.asRoot);
    if (clashesInParent(run, target, result)) {
        ::closedir(stream);
        ::close(targetFd);
        return result;
    }
    ++result.folders;

    auto root = std::make_shared<Folder>(run, stream, -1, UniqueFd(targetFd), source, target, sourceInfo, fresh,
                                         true);
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
    if ((params.atDriveRoot && isDriveBookkeepingName(name)) || isTemporaryName(name)) {
        result.skipped.push_back({source, isTemporaryName(name) ? SkipReason::UnfinishedCopy : SkipReason::SystemItem});
        return result;
    }
    if (stop.load()) {
        result.stopped = true;
        return result;
    }
    RunContext run(params, progress, stop);

    bool unused = false;
    const std::string parent = parentOf(source);
    const int parentFd = openFolderPath(parent, false, 0, unused);
    if (parentFd < 0) {
        result.failures.push_back({source, "open folder", errorText(-parentFd), -parentFd});
        return result;
    }
    UniqueFd sourceFolder(parentFd);
    struct stat info {};
    if (::fstatat(parentFd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        result.failures.push_back({source, "read information", errorText(errno), errno});
        return result;
    }
    if (S_ISDIR(info.st_mode)) {
        result.failures.push_back({source, "copy", errorText(EISDIR), EISDIR});
        return result;
    }
    bool fresh = false;
    const int targetFd = openTargetRoot(target, 0777, fresh, result);
    if (targetFd < 0)
        return result;
    if (!fresh)
        removeLeftovers(targetFd);
    run.granularityNs = std::max(timeGranularityNs(parentFd), timeGranularityNs(targetFd));
    run.destination = probeDestination(targetFd, run.asRoot);
    if (clashesInParent(run, joinPath(target, name), result)) {
        ::close(targetFd);
        return result;
    }
    {
        struct stat parentInfo {};
        (void)::fstat(parentFd, &parentInfo);
        Folder folder(run, nullptr, sourceFolder.release(), UniqueFd(targetFd), parent, target, parentInfo, fresh,
                      false);
        copyItem(run, folder, name, DT_UNKNOWN, result);
    }
    run.collect(result);
    return result;
}

} // namespace drovanta::engine::posix
