// What a backup run would write, measured with the copy's own decisions.
#include "engine/CopyEngine.h"
#include "engine/PosixItemCopy.h"
#include "engine/PosixRunContext.h"
#include "engine/SystemItems.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <utility>
#include <vector>

namespace drovanta::engine {
namespace {

using namespace posix;

// What a folder takes on the destination.
constexpr std::uint64_t folderBlock = 4096;

// The folder reached through `below` from `rootFd` without following a
// link, or the root itself; invalid when there is none.
UniqueFd openBelow(int rootFd, const std::vector<std::string> &below)
{
    if (rootFd < 0)
        return {};
    if (below.empty())
        return UniqueFd(::fcntl(rootFd, F_DUPFD_CLOEXEC, 0));
    Opened opened = openBeneath(rootFd, below);
    return opened.failed() ? UniqueFd() : std::move(opened.value);
}

// A backup folder named by `path` beneath the destination root `rootFd`.
UniqueFd openBackupFolder(int rootFd, const std::string &root, const std::string &path)
{
    BeneathRoot split;
    if (path.empty() || splitAtRoot(root, path, split))
        return {};
    return openBelow(rootFd, split.below);
}

bool isDirectory(int folderFd, const char *name)
{
    struct stat info {};
    return folderFd >= 0 && ::fstatat(folderFd, name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(info.st_mode);
}

// Folders along the walk's path that stay open; deeper trees close the
// levels above them and open them again through ".." on the way back.
constexpr std::size_t openLevels = 64;

enum Side { Source, Earlier, Today, Sides };

// One level of the walk: a source folder and the same folder in the earlier
// backup and in today's (each invalid when missing or closed), with their
// identities for reopening.
struct Level {
    UniqueFd folders[Sides];
    struct stat info[Sides] {};
    std::vector<std::string> subFolders;
    std::size_t next = 0;
};

class Measure final {
public:
    Measure(const Params &params, RunContext &run, dev_t destination, ino_t todayInode)
        : m_params(params), m_run(run), m_destination(destination), m_todayInode(todayInode)
    {
    }

    // Adds what the copy would write of the files directly in `level`'s
    // source folder and lists its sub-folders on the same filesystem.
    void measureFolder(Level &level, bool driveRoot)
    {
        Outcome<UniqueDir> listing = openListing(level.folders[Source].get());
        if (listing.failed())
            return; // unreadable: the copy reports it, and writes nothing of it
        const int folder = level.folders[Source].get();
        const int today = level.folders[Today].get();
        while (const dirent *entry = ::readdir(listing.value.get())) {
            const char *name = entry->d_name;
            if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
                continue;
            if (driveRoot && isDriveBookkeepingName(name))
                continue;
            struct stat info {};
            if (::fstatat(folder, name, &info, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            if (S_ISDIR(info.st_mode)) {
                if (info.st_dev == m_destination && info.st_ino == m_todayInode)
                    continue; // the backup itself, inside the source
                if (!isDirectory(today, name))
                    bytes += folderBlock;
                // Another filesystem mounted here: the backup keeps the folder only.
                if (info.st_dev == level.info[Source].st_dev)
                    level.subFolders.emplace_back(name);
                continue;
            }
            if (!S_ISREG(info.st_mode))
                continue; // links and special files are made anew, taking no data blocks
            if (info.st_nlink > 1 && !m_linked.emplace(info.st_dev, info.st_ino).second)
                continue; // a later name: a link to the first one's copy
            struct stat copy {};
            if (m_params.skipUnchanged && today >= 0 && ::fstatat(today, name, &copy, AT_SYMLINK_NOFOLLOW) == 0
                && isBackupOf(m_run, folder, name, info, today, name, copy))
                continue;
            if (isShareable(m_run, folder, name, info, level.folders[Earlier].get(), name, m_destination))
                continue;
            bytes += static_cast<std::uint64_t>(info.st_blocks) * 512;
        }
    }

    std::uint64_t bytes = 0;

private:
    const Params &m_params;
    RunContext &m_run;
    dev_t m_destination;
    ino_t m_todayInode;
    std::set<std::pair<dev_t, ino_t>> m_linked; // files with several names, counted once
};

} // namespace

std::optional<std::uint64_t> NativeCopyEngine::measure(const Params &params, const std::atomic<bool> &stop)
{
    constexpr int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    Opened root = openFolderPath(params.targetRoot);
    struct stat rootInfo {};
    if (root.failed() || ::fstat(root.value.get(), &rootInfo) != 0)
        return std::nullopt;
    Level first;
    Opened source = openFolderPath(params.source);
    if (source.failed())
        return std::nullopt;
    first.folders[Source] = std::move(source.value);
    first.folders[Earlier] = openBackupFolder(root.value.get(), params.targetRoot, params.previousTarget);
    first.folders[Today] = openBackupFolder(root.value.get(), params.targetRoot, params.target);
    for (int side = Source; side < Sides; ++side) {
        if (first.folders[side].valid() && ::fstat(first.folders[side].get(), &first.info[side]) != 0)
            first.folders[side] = UniqueFd();
    }
    if (!first.folders[Source].valid())
        return std::nullopt;

    NoProgress quiet;
    HardLinks unused;
    RunContext run(params, quiet, stop, unused);
    run.destination = destinationByType(root.value.get());
    run.granularityNs = std::max(timeGranularityNs(first.folders[Source].get()), timeGranularityNs(root.value.get()));
    // A second name cannot be given across two filesystems, nor on those
    // that have none.
    const std::string &type = run.destination.filesystem;
    if (first.info[Earlier].st_dev != rootInfo.st_dev || type.starts_with("FAT") || type == "exFAT")
        first.folders[Earlier] = UniqueFd();

    Measure measure(params, run, rootInfo.st_dev, first.folders[Today].valid() ? first.info[Today].st_ino : 0);
    if (!first.folders[Today].valid())
        measure.bytes += folderBlock;
    measure.measureFolder(first, params.atDriveRoot);
    std::vector<Level> levels;
    levels.push_back(std::move(first));
    // Depth first with the path in `levels`, not on the call stack; levels
    // far above the deepest are closed and opened again through "..".
    while (!levels.empty()) {
        if (stop.load())
            return std::nullopt;
        Level &level = levels.back();
        if (level.next == level.subFolders.size()) {
            if (levels.size() > 1 && !levels[levels.size() - 2].folders[Source].valid()) {
                Level &above = levels[levels.size() - 2];
                for (int side = Source; side < Sides; ++side) {
                    UniqueFd parent(level.folders[side].valid()
                                        ? ::openat(level.folders[side].get(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                                        : -1);
                    struct stat info {};
                    if (parent.valid() && ::fstat(parent.get(), &info) == 0
                        && info.st_dev == above.info[side].st_dev && info.st_ino == above.info[side].st_ino)
                        above.folders[side] = std::move(parent);
                }
                if (!above.folders[Source].valid())
                    above.next = above.subFolders.size(); // moved meanwhile: counts as empty from here on
            }
            levels.pop_back();
            continue;
        }
        const std::string &name = level.subFolders[level.next++];
        Level child;
        for (int side = Source; side < Sides; ++side) {
            if (!level.folders[side].valid())
                continue;
            child.folders[side] = UniqueFd(::openat(level.folders[side].get(), name.c_str(), flags));
            if (child.folders[side].valid() && ::fstat(child.folders[side].get(), &child.info[side]) != 0)
                child.folders[side] = UniqueFd();
        }
        if (!child.folders[Source].valid())
            continue; // unreadable: counts as empty
        measure.measureFolder(child, false);
        levels.push_back(std::move(child));
        if (levels.size() > openLevels + 1) {
            for (auto &folder : levels[levels.size() - openLevels - 1].folders)
                folder = UniqueFd();
        }
    }
    return measure.bytes;
}

} // namespace drovanta::engine
