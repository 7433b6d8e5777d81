// Old backup folders measured and removed beneath the destination root.
#include "engine/BackupRemoval.h"
#include "engine/FreedTally.h"
#include "engine/PosixSupport.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <utility>

namespace drovanta::engine {
namespace {

using namespace posix;

// Folders along the walk's path that stay open; deeper trees close the
// levels above them and open them again through ".." on the way back.
constexpr std::size_t openLevels = 64;

// What a walk beneath a folder tells its user.
struct Visit {
    // An item that is not a folder, in the open folder `parentFd`. False
    // (with errno set) when what it did there failed.
    std::function<bool(int parentFd, const char *name, const struct stat &info)> item;
    // A folder of the same filesystem whose contents have all been visited;
    // false (with errno set) when what it did there failed.
    std::function<bool(int parentFd, const std::string &name, const struct stat &info)> folderDone;
    // What `item` and `folderDone` do, for the failures they report.
    const char *operation = "";
    // A folder on which another filesystem is mounted: not entered.
    std::function<void(const std::string &path)> mount;
    // A step that failed, with the path and errno.
    std::function<void(const std::string &path, const char *operation, int code)> failure;
    // Called on each folder entered, with its descriptor, before its listing.
    std::function<void(int fd, const struct stat &info)> entering;
    // `item` needs each item's information; without it, an entry whose type
    // the listing tells gets none (a removal needs only the names, as a
    // stat per file would cost it a third of its time).
    bool itemInfo = true;
};

struct Level {
    UniqueFd fd; // invalid while closed
    struct stat info {};
    std::string name;
    std::vector<std::string> folders; // still to enter
    std::size_t next = 0;
};

// Depth first below `top`, never through a link and never into another
// filesystem, with the path in `levels` rather than on the call stack.
void walkBeneath(UniqueFd top, const std::string &topPath, const Visit &visit)
{
    std::vector<Level> levels;
    const auto pathOf = [&](std::size_t depth, const std::string &name) {
        std::string path = topPath;
        for (std::size_t i = 1; i <= depth && i < levels.size(); ++i)
            path += "/" + levels[i].name;
        return name.empty() ? path : path + "/" + name;
    };
    const auto list = [&](Level &level) {
        if (visit.entering)
            visit.entering(level.fd.get(), level.info);
        Outcome<UniqueDir> listing = openListing(level.fd.get());
        if (listing.failed()) {
            visit.failure(pathOf(levels.size() - 1, {}), "list folder", listing.error.code);
            return;
        }
        while (const dirent *entry = ::readdir(listing.value.get())) {
            if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
                continue;
            struct stat info {};
            if (!visit.itemInfo && entry->d_type != DT_UNKNOWN) {
                if (entry->d_type == DT_DIR) {
                    level.folders.emplace_back(entry->d_name); // a mount shows once it is opened
                } else if (!visit.item(level.fd.get(), entry->d_name, info)) {
                    visit.failure(pathOf(levels.size() - 1, entry->d_name), visit.operation, errno);
                }
                continue;
            }
            if (::fstatat(level.fd.get(), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
                visit.failure(pathOf(levels.size() - 1, entry->d_name), "read information", errno);
                continue;
            }
            if (!S_ISDIR(info.st_mode)) {
                if (!visit.item(level.fd.get(), entry->d_name, info))
                    visit.failure(pathOf(levels.size() - 1, entry->d_name), visit.operation, errno);
            }
            else if (info.st_dev != level.info.st_dev)
                visit.mount(pathOf(levels.size() - 1, entry->d_name));
            else
                level.folders.emplace_back(entry->d_name);
        }
    };

    Level first;
    first.fd = std::move(top);
    if (::fstat(first.fd.get(), &first.info) != 0) {
        visit.failure(topPath, "read information", errno);
        return;
    }
    levels.push_back(std::move(first));
    list(levels.back());
    while (!levels.empty()) {
        Level &level = levels.back();
        if (level.next < level.folders.size()) {
            const std::string name = level.folders[level.next++];
            Level child;
            child.name = name;
            child.fd = UniqueFd(::openat(level.fd.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!child.fd.valid() || ::fstat(child.fd.get(), &child.info) != 0) {
                visit.failure(pathOf(levels.size() - 1, name), "open folder", errno);
                continue;
            }
            if (child.info.st_dev != level.info.st_dev) { // mounted since it was listed
                visit.mount(pathOf(levels.size() - 1, name));
                continue;
            }
            levels.push_back(std::move(child));
            list(levels.back());
            if (levels.size() > openLevels + 1)
                levels[levels.size() - openLevels - 1].fd = UniqueFd();
            continue;
        }
        if (levels.size() == 1)
            break;
        Level &parent = levels[levels.size() - 2];
        if (!parent.fd.valid()) {
            UniqueFd up(::openat(level.fd.get(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            struct stat info {};
            if (!up.valid() || ::fstat(up.get(), &info) != 0 || info.st_dev != parent.info.st_dev
                || info.st_ino != parent.info.st_ino) {
                visit.failure(pathOf(levels.size() - 2, {}), "open folder", ENOENT);
                return; // moved meanwhile: nothing more is done above it
            }
            parent.fd = std::move(up);
        }
        const Level done = std::move(levels.back());
        levels.pop_back();
        if (!visit.folderDone(levels.back().fd.get(), done.name, done.info))
            visit.failure(pathOf(levels.size() - 1, done.name), visit.operation, errno);
    }
}

std::uint64_t blocksOf(const struct stat &info)
{
    return static_cast<std::uint64_t>(info.st_blocks) * 512;
}

} // namespace

std::vector<std::uint64_t> bytesFreedByRemoving(const std::string &root, const std::vector<std::string> &names)
{
    Opened rootFolder = openFolderPath(root);
    struct stat rootInfo {};
    if (rootFolder.failed() || ::fstat(rootFolder.value.get(), &rootInfo) != 0)
        return {};
    FreedTally<std::pair<dev_t, ino_t>> freed(names.size());
    for (std::size_t index = 0; index < names.size(); ++index) {
        UniqueFd folder(::openat(rootFolder.value.get(), names[index].c_str(),
                                 O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        struct stat info {};
        if (!folder.valid() || ::fstat(folder.get(), &info) != 0 || info.st_dev != rootInfo.st_dev)
            continue;
        freed.add(index, blocksOf(info));
        const auto count = [&](const struct stat &item) {
            if (item.st_nlink <= 1 || S_ISDIR(item.st_mode))
                freed.add(index, blocksOf(item));
            else
                freed.addName({item.st_dev, item.st_ino}, item.st_nlink, index, blocksOf(item));
        };
        Visit visit;
        visit.item = [&](int, const char *, const struct stat &item) {
            count(item);
            return true;
        };
        visit.folderDone = [&](int, const std::string &, const struct stat &item) {
            count(item);
            return true;
        };
        visit.mount = [](const std::string &) {};
        visit.failure = [](const std::string &, const char *, int) {};
        walkBeneath(std::move(folder), root + "/" + names[index], visit);
    }
    return freed.cumulative();
}

FolderRemoval removeFolder(const std::string &root, const std::string &name, const std::string &removingName)
{
    FolderRemoval removal;
    const auto fail = [&](const std::string &path, const char *operation, int code) {
        removal.failures.push_back({path, operation, errorText(code), code});
    };
    Opened rootFolder = openFolderPath(root);
    if (rootFolder.failed()) {
        fail(root, "open folder", rootFolder.error.code);
        return removal;
    }
    const int rootFd = rootFolder.value.get();
    // No backup has this name: a removal cut short leaves no half-emptied
    // folder under a backup's name, and the next run finishes it.
    if (!name.empty() && ::renameat(rootFd, name.c_str(), rootFd, removingName.c_str()) != 0) {
        fail(root + "/" + name, "rename", errno);
        return removal;
    }
    const std::string path = root + "/" + removingName;
    UniqueFd folder(::openat(rootFd, removingName.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat rootInfo {};
    struct stat info {};
    if (!folder.valid() || ::fstat(folder.get(), &info) != 0 || ::fstat(rootFd, &rootInfo) != 0) {
        fail(path, "open folder", errno);
        return removal;
    }
    if (info.st_dev != rootInfo.st_dev) {
        removal.leftMounted.push_back(path);
        return removal;
    }
    Visit visit;
    // A folder copied without write permission is made writable, or
    // nothing inside it could be removed.
    visit.entering = [](int fd, const struct stat &own) {
        if ((own.st_mode & 0700) != 0700)
            (void)::fchmod(fd, (own.st_mode & 07777) | 0700);
    };
    visit.operation = "remove";
    visit.itemInfo = false;
    visit.item = [](int parentFd, const char *item, const struct stat &) {
        return ::unlinkat(parentFd, item, 0) == 0;
    };
    // A folder that holds a mounted filesystem stays, with what is mounted.
    visit.folderDone = [&](int parentFd, const std::string &item, const struct stat &) {
        return ::unlinkat(parentFd, item.c_str(), AT_REMOVEDIR) == 0 || !removal.leftMounted.empty();
    };
    visit.mount = [&](const std::string &mounted) { removal.leftMounted.push_back(mounted); };
    visit.failure = fail;
    walkBeneath(std::move(folder), path, visit);
    if (::unlinkat(rootFd, removingName.c_str(), AT_REMOVEDIR) == 0)
        removal.removed = true;
    else if (removal.leftMounted.empty() && removal.failures.empty())
        fail(path, "remove folder", errno);
    return removal;
}

} // namespace drovanta::engine
