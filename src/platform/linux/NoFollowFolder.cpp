// The backup folder's creation and its lock on POSIX systems: neither follows
// a link at the folder's own name (the lock itself: BackupLockFile.h).
#include "platform/HeldFolders.h"
#include "platform/OwnedHandle.h"
#include "platform/StdFileOperations.h"
#include "platform/linux/BackupLockFile.h"
#include "platform/linux/FileKind.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace drovanta::platform {
namespace {

std::string describe(const std::string &what, const std::string &path, int error)
{
    return what + " '" + path + "': " + std::strerror(error);
}

// Throws NotAFolder when `path` names something other than a real folder;
// returns when it is one (or is gone, which the caller's next step finds).
void checkRealFolder(const std::string &path)
{
    struct stat facts {};
    if (::lstat(path.c_str(), &facts) == 0 && !S_ISDIR(facts.st_mode))
        throw NotAFolder(path, kindOf(facts.st_mode));
}

} // namespace

void StdFileOperations::createFolder(const std::string &path) const
{
    if (path.empty())
        throw Failure("Path not found");
    // mkdir neither follows a link at the last component nor creates parents.
    if (::mkdir(path.c_str(), 0777) == 0)
        return;
    const int error = errno;
    if (error != EEXIST)
        throw Failure(describe("Cannot create folder", path, error));
    checkRealFolder(path);
}

std::unique_ptr<FolderLock> StdFileOperations::lockFolder(const std::string &path) const
{
    auto folder = std::make_shared<OwnedFd>(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (folder->get() < 0) {
        const int error = errno;
        if (error == ELOOP || error == ENOTDIR)
            checkRealFolder(path);
        throw Failure(describe("Cannot open folder", path, error));
    }
    struct stat facts {};
    if (::fstat(folder->get(), &facts) != 0)
        throw Failure(describe("Cannot open folder", path, errno));
    const FolderIdentity identity{static_cast<std::uint64_t>(facts.st_dev), static_cast<std::uint64_t>(facts.st_ino)};
    // The lock lives with the open lock file: closing it releases the lock,
    // also when the process ends in any way.
    return shareOrTake(identity, [&] { return takeBackupLock(path, folder); });
}

std::optional<std::string> StdFileOperations::writeProblem(const std::string &path) const
{
    struct stat facts {};
    const bool exists = ::lstat(path.c_str(), &facts) == 0;
    if (exists && !S_ISDIR(facts.st_mode))
        return std::nullopt;
    // A folder of a unique name where the run would create its first item:
    // two runs checking at once never meet, and the backup folder itself is
    // never created and removed under a run that has just taken it.
    std::string folder = exists ? path : std::filesystem::path(path).parent_path().string();
    if (folder.empty())
        folder = ".";
    std::string probe = folder + (folder.ends_with('/') ? "" : "/") + ".drovanta-write-check-XXXXXX";
    if (::mkdtemp(probe.data()) == nullptr)
        return describe(exists ? "Cannot write into folder" : "Cannot create folder", path, errno);
    ::rmdir(probe.c_str());
    return std::nullopt;
}

} // namespace drovanta::platform
