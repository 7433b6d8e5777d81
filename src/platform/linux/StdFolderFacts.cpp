// The folder facts that POSIX systems answer with device numbers and statvfs.
#include "platform/Failure.h"
#include "platform/PathWithin.h"
#include "platform/StdFolderFacts.h"

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace fs = std::filesystem;

namespace drovanta::platform {
namespace {

std::string describe(const std::string &what, const std::string &path, const std::string &reason)
{
    return what + " '" + path + "': " + reason;
}

struct stat statOf(const std::string &path)
{
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        throw Failure(describe("Cannot read the information of", path, std::strerror(errno)));
    return info;
}

struct statvfs spaceOf(const std::string &path, const char *what)
{
    struct statvfs info {};
    if (::statvfs(path.c_str(), &info) != 0)
        throw Failure(describe(what, path, std::strerror(errno)));
    return info;
}

} // namespace

bool StdFolderFacts::isFilesystemRoot(const std::string &folder) const
{
    const fs::path path(folder);
    if (path == path.root_path())
        return true;
    const struct stat own = statOf(folder);
    const struct stat parent = statOf(path.parent_path().string());
    return own.st_dev != parent.st_dev || own.st_ino == parent.st_ino;
}

bool StdFolderFacts::backupReaches(const std::string &source, const std::string &folder) const
{
    const fs::path from(source);
    const fs::path to(folder);
    if (!isWithin(from, to))
        return false;
    // The copier hands every top-level folder to the engine as a tree of its
    // own, whatever is mounted there; below that the engine stays on one
    // filesystem.
    const fs::path relative = to.lexically_relative(from);
    fs::path current = from;
    bool topLevel = true;
    for (const auto &part : relative) {
        if (part.empty() || part == ".")
            continue;
        const fs::path next = current / part;
        if (!topLevel && statOf(next.string()).st_dev != statOf(current.string()).st_dev)
            return false;
        topLevel = false;
        current = next;
    }
    return true;
}

std::uint64_t StdFolderFacts::availableBytes(const std::string &path) const
{
    const struct statvfs info = spaceOf(path, "Cannot read the free space of");
    return static_cast<std::uint64_t>(info.f_bavail) * static_cast<std::uint64_t>(info.f_frsize);
}

std::uint64_t StdFolderFacts::usedBytes(const std::string &path) const
{
    const struct statvfs info = spaceOf(path, "Cannot read the used space of");
    const std::uint64_t blocks = info.f_blocks > info.f_bfree ? info.f_blocks - info.f_bfree : 0;
    return blocks * static_cast<std::uint64_t>(info.f_frsize);
}

} // namespace drovanta::platform
