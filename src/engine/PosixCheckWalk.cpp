#include "engine/PosixCheckWalk.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace drovanta::engine::posix {

Error listEntries(int folderFd, std::vector<ListedEntry> &entries)
{
    Outcome<UniqueDir> listing = openListing(folderFd);
    if (listing.failed())
        return listing.error;
    for (;;) {
        errno = 0;
        const dirent *entry = ::readdir(listing.value.get());
        if (entry == nullptr) {
            if (errno != 0)
                return lastError("list folder");
            break;
        }
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
            continue;
        ListedEntry listed{entry->d_name, {}};
        if (::fstatat(folderFd, entry->d_name, &listed.info, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        entries.push_back(std::move(listed));
    }
    // Both sides in the same order: one pass pairs them.
    std::sort(entries.begin(), entries.end(),
              [](const ListedEntry &a, const ListedEntry &b) { return a.name < b.name; });
    return {};
}

UniqueFd openSubFolder(int folderFd, const std::string &name)
{
    return UniqueFd(::openat(folderFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

Opened openForReading(int folderFd, const std::string &name)
{
    constexpr int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    UniqueFd fd(::openat(folderFd, name.c_str(), flags | O_NOATIME));
    if (!fd.valid() && errno == EPERM) // another user's file: O_NOATIME is the owner's
        fd = UniqueFd(::openat(folderFd, name.c_str(), flags));
    if (!fd.valid())
        return lastError("open");
    return fd;
}

std::string relativePath(const std::string &folder, const std::string &name)
{
    return folder.empty() ? name : folder + "/" + name;
}

} // namespace drovanta::engine::posix
