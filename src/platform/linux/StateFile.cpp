// The run log's files on POSIX systems. The state folder and every file in it
// are reached without following a link, opened without blocking, and used
// only when they are what they should be: a real folder and plain files of
// the user's own. Anyone else's link there would have the program write
// through it (as root, onto any file), and a named pipe would stall the run's
// end forever.
#include "platform/OwnedHandle.h"
#include "platform/StateFolder.h"
#include "platform/linux/FileKind.h"
#include "platform/linux/WriteAll.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace drovanta::platform {
namespace {

std::string notOurFolder(const std::string &path, const struct stat &facts)
{
    return notOursReason(path, "a folder", S_ISDIR(facts.st_mode) ? "another user's folder" : kindOf(facts.st_mode));
}

std::string notOurFile(const std::string &path, const struct stat &facts)
{
    return notOursReason(path, "a plain file", S_ISREG(facts.st_mode) ? "another user's file" : kindOf(facts.st_mode));
}

bool isOurs(const struct stat &facts, bool folder)
{
    return (folder ? S_ISDIR(facts.st_mode) : S_ISREG(facts.st_mode)) && facts.st_uid == ::geteuid();
}

// The state folder, created when missing, held open; -1 with `reason` set
// when it cannot be, or is not a real folder of this user's.
int openStateFolder(const std::string &folder, std::string &reason)
{
    // The folders above it are the user's (~/.local/state) and may be links.
    std::error_code ec;
    fs::create_directories(fs::path(folder).parent_path(), ec);
    if (ec) {
        reason = "cannot create '" + folder + "': " + ec.message();
        return -1;
    }
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        reason = "cannot create '" + folder + "': " + std::strerror(errno);
        return -1;
    }
    OwnedFd held(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat facts {};
    if (!held.valid()) {
        const int error = errno;
        if ((error == ELOOP || error == ENOTDIR) && ::lstat(folder.c_str(), &facts) == 0)
            reason = notOurFolder(folder, facts);
        else
            reason = "cannot open '" + folder + "': " + std::strerror(error);
        return -1;
    }
    if (::fstat(held.get(), &facts) != 0) {
        reason = "cannot open '" + folder + "': " + std::strerror(errno);
        return -1;
    }
    if (!isOurs(facts, true)) {
        reason = notOurFolder(folder, facts);
        return -1;
    }
    return held.release();
}

// `name` in the held folder, opened for appending (created when missing);
// -1 with `reason` set when it cannot be, or is not a plain file of this
// user's. Non-blocking, so that a named pipe there cannot stall the open.
int openStateFile(int folder, const std::string &name, const std::string &path, int extraFlags, std::string &reason)
{
    // Looked at first, so that a device there is never opened at all.
    struct stat facts {};
    if (::fstatat(folder, name.c_str(), &facts, AT_SYMLINK_NOFOLLOW) == 0 && !isOurs(facts, false)) {
        reason = notOurFile(path, facts);
        return -1;
    }
    OwnedFd file(::openat(folder, name.c_str(),
                          O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | extraFlags,
                          0600));
    if (!file.valid()) {
        const int error = errno;
        // Something other than a plain file took the name since the look.
        if (::fstatat(folder, name.c_str(), &facts, AT_SYMLINK_NOFOLLOW) == 0 && !isOurs(facts, false))
            reason = notOurFile(path, facts);
        else
            reason = "cannot write '" + path + "': " + std::strerror(error);
        return -1;
    }
    if (::fstat(file.get(), &facts) != 0) {
        reason = "cannot write '" + path + "': " + std::strerror(errno);
        return -1;
    }
    if (!isOurs(facts, false)) {
        reason = notOurFile(path, facts);
        return -1;
    }
    return file.release();
}

} // namespace

std::string appendToStateFile(const std::string &name, const std::string &text, std::string &reason, std::uintmax_t cap)
{
    const std::string folder = stateFolderOrReason(reason);
    if (folder.empty())
        return {};
    const OwnedFd held(openStateFolder(folder, reason));
    if (!held.valid())
        return {};
    const std::string path = (fs::path(folder) / name).string();
    const OwnedFd file(openStateFile(held.get(), name, path, 0, reason));
    if (!file.valid())
        return {};
    struct stat facts {};
    const auto size = ::fstat(file.get(), &facts) == 0 ? static_cast<std::uintmax_t>(facts.st_size) : 0;
    // The rename replaces an older ".1", a link there included (not what it
    // points to), beneath the held folder. Should it fail, the log grows past
    // its cap rather than losing the run.
    const std::string previous = name + ".1";
    const bool rotated = size > 0 && text.size() > cap - std::min(cap, size) &&
        ::renameat(held.get(), name.c_str(), held.get(), previous.c_str()) == 0;
    // A fresh file, made here and now: nothing that took the name meanwhile
    // is opened.
    const OwnedFd fresh(rotated ? openStateFile(held.get(), name, path, O_EXCL, reason) : -1);
    if (rotated && !fresh.valid())
        return {};
    const int target = rotated ? fresh.get() : file.get();
    if (!writeAll(target, text)) {
        reason = "cannot write '" + path + "': " + std::strerror(errno);
        return {};
    }
    return path;
}

} // namespace drovanta::platform
