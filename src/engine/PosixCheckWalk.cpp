#include "engine/PosixCheckWalk.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace drovanta::engine::posix {

Error CheckSystem::list(const UniqueFd &folder, std::vector<ListedEntry> &entries)
{
    Outcome<UniqueDir> listing = openListing(folder.get());
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
        if (::fstatat(folder.get(), entry->d_name, &listed.info, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        entries.push_back(std::move(listed));
    }
    std::sort(entries.begin(), entries.end(),
              [](const ListedEntry &a, const ListedEntry &b) { return a.name < b.name; });
    return {};
}

Opened CheckSystem::openFolder(const UniqueFd &parent, const std::string &name)
{
    UniqueFd fd(::openat(parent.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid())
        return lastError("open folder");
    return fd;
}

Opened CheckSystem::openFile(const UniqueFd &folder, const std::string &name)
{
    constexpr int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    UniqueFd fd(::openat(folder.get(), name.c_str(), flags | O_NOATIME));
    if (!fd.valid() && errno == EPERM) // another user's file: O_NOATIME is the owner's
        fd = UniqueFd(::openat(folder.get(), name.c_str(), flags));
    if (!fd.valid())
        return lastError("open");
    (void)::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    return fd;
}

Outcome<std::size_t> CheckSystem::read(UniqueFd &file, char *buffer, std::size_t size)
{
    for (;;) {
        const ssize_t n = ::read(file.get(), buffer, size);
        if (n >= 0)
            return static_cast<std::size_t>(n);
        if (errno != EINTR)
            return lastError("read");
    }
}

EntryKind CheckSystem::kindOf(const ListedEntry &entry)
{
    if (S_ISDIR(entry.info.st_mode))
        return EntryKind::Folder;
    return S_ISREG(entry.info.st_mode) ? EntryKind::File : EntryKind::Other;
}

std::uint64_t CheckSystem::sizeOf(const ListedEntry &entry)
{
    return static_cast<std::uint64_t>(entry.info.st_size);
}

bool CheckSystem::sameFile(const UniqueFd &, const ListedEntry &entry, const UniqueFd &earlier)
{
    struct stat info {};
    return ::fstatat(earlier.get(), entry.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0
        && info.st_dev == entry.info.st_dev && info.st_ino == entry.info.st_ino;
}

std::optional<ListedEntry> CheckSystem::find(const UniqueFd &folder, const std::string &name)
{
    ListedEntry entry{name, {}};
    if (::fstatat(folder.get(), name.c_str(), &entry.info, AT_SYMLINK_NOFOLLOW) != 0)
        return std::nullopt;
    return entry;
}

} // namespace drovanta::engine::posix
