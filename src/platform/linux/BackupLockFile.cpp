#include "platform/linux/BackupLockFile.h"

#include "platform/FileOperations.h"
#include "platform/linux/FileKind.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <utility>

namespace drovanta::platform {
namespace {

[[noreturn]] void cannotLock(const std::string &path, const std::string &why)
{
    throw Failure("Cannot lock folder '" + path + "': " + why);
}

// The folder's path without a trailing "/" or "/.": its last part is the
// name its parent lists it by.
std::filesystem::path namedPath(const std::string &path)
{
    std::filesystem::path normal = std::filesystem::path(path).lexically_normal();
    if (!normal.has_filename())
        normal = normal.parent_path(); // "a/b/" names b
    const std::string name = normal.filename().string();
    if (name.empty() || name == "." || name == "..")
        cannotLock(path, "the folder has no name of its own");
    return normal;
}

// The held lock: released when the lock file's descriptor closes. The lock
// file of a folder that has gone (a removed backup) goes with it, while the
// lock is still held.
class HeldLock final {
public:
    HeldLock(std::shared_ptr<OwnedFd> folder, int bookkeeping, int file, std::string name)
        : m_folder(std::move(folder)), m_bookkeeping(bookkeeping), m_file(file), m_name(std::move(name))
    {
    }
    ~HeldLock()
    {
        struct stat facts {};
        if (::fstat(m_folder->get(), &facts) == 0 && facts.st_nlink == 0)
            ::unlinkat(m_bookkeeping.get(), m_name.c_str(), 0);
    }
    HeldLock(const HeldLock &) = delete;
    HeldLock &operator=(const HeldLock &) = delete;

private:
    std::shared_ptr<OwnedFd> m_folder;
    OwnedFd m_bookkeeping;
    OwnedFd m_file;
    std::string m_name;
};

} // namespace

std::shared_ptr<void> takeBackupLock(const std::string &path, std::shared_ptr<OwnedFd> folder)
{
    const std::filesystem::path named = namedPath(path);
    const std::filesystem::path bookkeepingPath = named.parent_path() / bookkeepingFolderName;
    const std::string lockName = named.filename().string() + ".lock";
    const std::string lockPath = (bookkeepingPath / lockName).string();
    // The folder's real parent, whatever path led to the folder.
    const OwnedFd parent(::openat(folder->get(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!parent.valid())
        cannotLock(path, std::strerror(errno));
    if (::mkdirat(parent.get(), bookkeepingFolderName, 0755) != 0 && errno != EEXIST)
        cannotLock(path, "cannot create '" + bookkeepingPath.string() + "': " + std::strerror(errno));
    OwnedFd bookkeeping(
        ::openat(parent.get(), bookkeepingFolderName, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!bookkeeping.valid())
        cannotLock(path, problemWith(parent.get(), bookkeepingFolderName, bookkeepingPath.string(), S_IFDIR, errno));
    // The name may pass from the opened file to another (the lock file of a
    // removed folder goes while its holder still has it): the lock counts
    // only on the file the name still stands for.
    for (int attempt = 0; attempt < 3; ++attempt) {
        OwnedFd file(::openat(bookkeeping.get(), lockName.c_str(),
                              O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600));
        if (!file.valid())
            cannotLock(path, problemWith(bookkeeping.get(), lockName, lockPath, S_IFREG, errno));
        struct stat opened {};
        if (::fstat(file.get(), &opened) != 0)
            cannotLock(path, std::strerror(errno));
        if (!S_ISREG(opened.st_mode))
            cannotLock(path, "'" + lockPath + "' is " + kindOf(opened.st_mode));
        struct flock lock {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET; // the whole file
        if (::fcntl(file.get(), F_OFD_SETLK, &lock) != 0) {
            const int error = errno;
            if (error == EAGAIN || error == EACCES)
                return nullptr;
            cannotLock(path, std::strerror(error));
        }
        struct stat current {};
        if (::fstatat(bookkeeping.get(), lockName.c_str(), &current, AT_SYMLINK_NOFOLLOW) == 0
            && current.st_dev == opened.st_dev && current.st_ino == opened.st_ino) {
            return std::make_shared<HeldLock>(std::move(folder), bookkeeping.release(), file.release(), lockName);
        }
    }
    return nullptr;
}

} // namespace drovanta::platform
