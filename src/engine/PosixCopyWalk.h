#pragma once

// The primitives of the copy's walk (TreeWalk.h) on POSIX systems: folders
// held open as descriptors, each one below the roots opened relative to the
// one that holds it and never through a link.
#include "engine/PosixItemCopy.h"
#include "engine/PosixRunContext.h"
#include "engine/TreeWalk.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstddef>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

namespace drovanta::engine::posix {

// The folders below a tree on which a filesystem was mounted when its copy
// began, by the folder that holds each (device and inode) and its name. The
// walk tells a folder's type from the listing and opens it without a stat
// first; these it does not open, as opening a folder that mounts on demand
// would mount it (a stat does not). One mounted later is still told by its
// device once open.
class MountPoints final {
public:
    // Reads the system's mount table for mount points below the folder
    // `treeFd` is open on.
    explicit MountPoints(int treeFd);

    // Whether `name` in the folder described by `holder` is a mount point.
    [[nodiscard]] bool holds(const struct stat &holder, const std::string &name) const
    {
        return !m_points.empty() && m_points.contains(key(holder, name));
    }

private:
    static std::string key(const struct stat &holder, const std::string &name)
    {
        return std::to_string(holder.st_dev) + ':' + std::to_string(holder.st_ino) + '/' + name;
    }

    std::unordered_set<std::string> m_points;
};

struct CopyEntry {
    std::string name;
    unsigned char type = DT_UNKNOWN; // as the listing gives it
};

// What a closed level of a walk keeps: its place in the chain of names and
// the identity of both sides (device and inode).
struct ClosedFolder {
    std::shared_ptr<FolderPath> path;
    struct stat sourceInfo {};
    dev_t targetDevice = 0;
    ino_t targetInode = 0;
    bool fresh = false;
};

class CopyWalkSystem final {
public:
    using Run = RunContext;
    using Folder = posix::Folder;
    using Entry = CopyEntry;
    // The listing goes on through the folder's own descriptor.
    struct Cursor {};
    using Closed = ClosedFolder;

    static constexpr Error outOfMemory{ENOMEM, "copy"};
    static constexpr Error nameTaken{EEXIST, "copy"};
    static constexpr Error destinationGone{ENODEV, "write"};

    // A copy into the tree whose target root is `targetRoot`, of the tree
    // `treeFd` is open on.
    CopyWalkSystem(RunContext &run, const struct stat &targetRoot, int treeFd)
        : m_run(run), m_targetRoot(targetRoot), m_mountPoints(treeFd)
    {
    }

    bool read(Folder &folder, Cursor &cursor, std::vector<Entry> &entries, int &error);
    static bool isFolder(const Entry &entry) { return entry.type == DT_DIR; }
    static std::string folded(const std::string &name) { return foldedName(name); }
    bool knowKind(Folder &folder, Entry &entry, Result &result);
    void copyItem(Folder &folder, const Entry &entry, Result &result)
    {
        posix::copyItem(m_run, folder, entry.name, entry.type, result);
    }
    std::shared_ptr<Folder> openFolder(Folder &parent, const std::string &name, Result &result);
    Closed close(const Folder &folder);
    static const std::string &nameOf(const Closed &closed) { return closed.path->name(); }
    std::shared_ptr<Folder> reopen(const Closed &closed, const Folder *below, const Folder &anchor,
                                   const std::vector<std::string> &names, Result &result);
    static std::string pathOf(const Folder &folder) { return folder.sourcePath(); }
    static std::string pathOf(const Folder &folder, const std::string &name)
    {
        return joinPath(folder.sourcePath(), name);
    }
    static std::string targetPathOf(const Folder &folder) { return folder.targetPath(); }
    static std::size_t folderLimit();

private:
    RunContext &m_run;
    struct stat m_targetRoot;
    const MountPoints m_mountPoints;
};

// A folder merged into must take new items even when a previous run gave it
// a read-only mode; its own mode is set again once it is complete.
[[nodiscard]] Error makeWritable(int fd);

// Opens (creating when missing) the copy of folder `name`; `fresh` tells
// whether this made it. A link or file of that name in the target is
// replaced: the source has a folder there.
[[nodiscard]] Opened openTargetFolder(int parentFd, const char *name, bool &fresh);

// A restore without leave to overwrite keeps what the user has where a
// folder would go when it is not a real folder (a file, or a link, which
// is never followed either way). `parentFd` is -1 for a folder this run made.
[[nodiscard]] bool keptInPlace(const RunContext &run, int parentFd, const std::string &name);

} // namespace drovanta::engine::posix
