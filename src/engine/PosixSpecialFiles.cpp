#include "engine/PosixSpecialFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace drovanta::engine::posix {

namespace {


bool isDevice(mode_t mode)
{
    return S_ISCHR(mode) || S_ISBLK(mode);
}

// Whether the target already is this item's copy (an earlier backup).
bool alreadyThere(const RunContext &run, const Folder &folder, const std::string &name, const struct stat &source)
{
    if (folder.fresh() || !run.params.skipUnchanged)
        return false;
    struct stat target {};
    return ::fstatat(folder.targetFd(), name.c_str(), &target, AT_SYMLINK_NOFOLLOW) == 0
        && (target.st_mode & S_IFMT) == (source.st_mode & S_IFMT) && target.st_rdev == source.st_rdev
        && sameModificationTime(source.st_mtim, target.st_mtim, run.granularityNs);
}

} // namespace

void copySpecialFile(RunContext &run, const Folder &folder, const std::string &name, const struct stat &source,
                     Result &result)
{
    const std::string sourcePath = joinPath(folder.sourcePath(), name);
    if (S_ISSOCK(source.st_mode)) {
        result.skipped.push_back({sourcePath, SkipReason::Socket});
        return;
    }
    if (isDevice(source.st_mode) && !run.asRoot) {
        result.skipped.push_back({sourcePath, SkipReason::DeviceNode});
        return;
    }
    if (!S_ISFIFO(source.st_mode) && !isDevice(source.st_mode))
        return; // no other kind exists on Linux
    if (alreadyThere(run, folder, name, source)) {
        ++result.unchanged;
        run.progress.fileCopied(sourcePath, 0);
        return;
    }
    const int dir = folder.targetFd();
    const std::string targetPath = joinPath(folder.targetPath(), name);
    const std::string temporary = underTemporaryName([&](const char *temporaryName) {
        return ::mknodat(dir, temporaryName, (source.st_mode & S_IFMT) | 0600, source.st_rdev) == 0;
    });
    if (temporary.empty()) {
        const Error error = lastError("create");
        // FAT, exFAT and many user-space drivers have no such items (some
        // answer with EIO); only a full or read-only drive is the drive's fault.
        if (error.code == ENOSPC || error.code == EDQUOT || error.code == EROFS)
            run.fail(result, targetPath, error, true);
        else
            run.note(NoteKind::SpecialFiles);
        return;
    }
    bool lost = false;
    if (run.asRoot && (source.st_uid != run.uid || source.st_gid != run.gid))
        lost = !run.destination.keepsOwners
            || ::fchownat(dir, temporary.c_str(), source.st_uid, source.st_gid, AT_SYMLINK_NOFOLLOW) != 0;
    if (!run.destination.keepsModes || ::fchmodat(dir, temporary.c_str(), source.st_mode & 07777, 0) != 0)
        lost = true;
    if (lost)
        run.note(NoteKind::OwnersAndPermissions);
    const struct timespec times[2] = {source.st_atim, source.st_mtim};
    if (::utimensat(dir, temporary.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
        run.note(NoteKind::Times);
    if (::renameat(dir, temporary.c_str(), dir, name.c_str()) != 0) {
        const Error error = lastError("replace");
        (void)::unlinkat(dir, temporary.c_str(), 0);
        run.fail(result, targetPath, error, true);
        return;
    }
    ++result.specials;
    run.progress.fileCopied(sourcePath, 0);
}

} // namespace drovanta::engine::posix
