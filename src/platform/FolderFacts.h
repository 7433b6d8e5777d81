#pragma once

#include <cstdint>
#include <string>

namespace drovanta::platform {

// What the command line must know about the folders it is given before it
// copies anything: the system's own answers, no walk of a tree (what a run
// would write is the copy engine's to measure). Reads that fail throw
// drovanta::Failure with a sentence naming the path and the system's reason.
class FolderFacts {
public:
    // The absolute path with every link and "."/".." resolved, without a
    // trailing separator (except for a root). Empty when `path` does not name
    // an existing folder.
    virtual std::string canonicalFolder(const std::string &path) const = 0;
    // True when `folder` is the root of a filesystem: the system's root, or a
    // folder on another filesystem than its parent.
    virtual bool isFilesystemRoot(const std::string &folder) const = 0;
    // True when a backup of `source` would walk into `folder`: `folder` is
    // `source` or lies below it, and no filesystem is mounted on the way
    // below the top-level folders (the copy engine does not enter those).
    // Both paths are canonical.
    virtual bool backupReaches(const std::string &source, const std::string &folder) const = 0;
    // Bytes available to the current user on the filesystem that holds `path`.
    virtual std::uint64_t availableBytes(const std::string &path) const = 0;
    // Bytes in use on the filesystem that holds `path` (its size minus its
    // free bytes): no folder on it holds more.
    virtual std::uint64_t usedBytes(const std::string &path) const = 0;

protected:
    ~FolderFacts() = default;
};

} // namespace drovanta::platform
