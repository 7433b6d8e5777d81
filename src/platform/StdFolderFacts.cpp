#include "platform/StdFolderFacts.h"

#include "platform/Failure.h"

#include <filesystem>
#include <system_error>

#ifndef _WIN32
#include <ftw.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <cstring>
#endif

namespace fs = std::filesystem;

namespace drovanta::platform {
namespace {

std::string describe(const std::string &what, const std::string &path, const std::string &reason)
{
    return what + " '" + path + "': " + reason;
}

// `folder` below `source` (or equal to it), compared by whole path parts.
bool isWithin(const fs::path &source, const fs::path &folder)
{
    auto s = source.begin();
    auto f = folder.begin();
    for (; s != source.end(); ++s, ++f) {
        // A root's trailing separator leaves an empty last part.
        if (s->empty())
            continue;
        if (f == folder.end() || *s != *f)
            return false;
    }
    return true;
}

#ifndef _WIN32
struct stat statOf(const std::string &path)
{
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        throw Failure(describe("Cannot read the information of", path, std::strerror(errno)));
    return info;
}

// nftw() takes no context; one count runs at a time per thread.
thread_local std::uint64_t countedBytes = 0;

int countFile(const char *, const struct stat *info, int type, struct FTW *)
{
    if (type == FTW_F && S_ISREG(info->st_mode))
        countedBytes += static_cast<std::uint64_t>(info->st_size);
    return 0;
}
#endif

} // namespace

std::string StdFolderFacts::canonicalFolder(const std::string &path) const
{
    std::error_code ec;
    if (path.empty() || !fs::is_directory(path, ec))
        return {};
    const fs::path canonical = fs::canonical(path, ec);
    if (ec)
        return {};
    return canonical.string();
}

bool StdFolderFacts::isFilesystemRoot(const std::string &folder) const
{
    const fs::path path(folder);
    if (path == path.root_path())
        return true;
#ifdef _WIN32
    return false;
#else
    const struct stat own = statOf(folder);
    const struct stat parent = statOf(path.parent_path().string());
    return own.st_dev != parent.st_dev || own.st_ino == parent.st_ino;
#endif
}

bool StdFolderFacts::backupReaches(const std::string &source, const std::string &folder) const
{
    const fs::path from(source);
    const fs::path to(folder);
    if (!isWithin(from, to))
        return false;
#ifndef _WIN32
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
#endif
    return true;
}

std::uint64_t StdFolderFacts::contentBytes(const std::string &folder) const
{
#ifdef _WIN32
    std::uint64_t total = 0;
    std::error_code ec;
    fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec);
    if (ec)
        throw Failure(describe("Cannot list folder", folder, ec.message()));
    for (const fs::recursive_directory_iterator end; it != end; it.increment(ec)) {
        std::error_code typeError;
        if (it->symlink_status(typeError).type() == fs::file_type::regular)
            total += it->file_size(typeError);
    }
    return total;
#else
    countedBytes = 0;
    if (::nftw(folder.c_str(), countFile, 32, FTW_PHYS | FTW_MOUNT) != 0)
        throw Failure(describe("Cannot list folder", folder, std::strerror(errno)));
    return countedBytes;
#endif
}

std::uint64_t StdFolderFacts::availableBytes(const std::string &path) const
{
#ifdef _WIN32
    std::error_code ec;
    const fs::space_info space = fs::space(path, ec);
    if (ec)
        throw Failure(describe("Cannot read the free space of", path, ec.message()));
    return space.available;
#else
    struct statvfs info {};
    if (::statvfs(path.c_str(), &info) != 0)
        throw Failure(describe("Cannot read the free space of", path, std::strerror(errno)));
    return static_cast<std::uint64_t>(info.f_bavail) * static_cast<std::uint64_t>(info.f_frsize);
#endif
}

} // namespace drovanta::platform
