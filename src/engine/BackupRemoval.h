#pragma once

#include "engine/CopyEngine.h"

#include <cstdint>
#include <string>
#include <vector>

namespace drovanta::engine {

// Old backup folders, measured and removed beneath the destination root
// without following a link or entering another filesystem mounted inside.

// For the folders `names` directly in `root`, in the order they would be
// removed, what removing the first k of them frees together, for k = 1 to
// n: a file frees its blocks only once every one of its names lies in the
// folders removed (backups share unchanged files), and each folder frees its
// own. Reads only. Empty when `root` cannot be opened; a name that is not a
// real folder on the root's filesystem frees nothing.
[[nodiscard]] std::vector<std::uint64_t> bytesFreedByRemoving(const std::string &root,
                                                              const std::vector<std::string> &names);

struct FolderRemoval {
    bool removed = false;                 // the folder is gone
    std::vector<std::string> leftMounted; // filesystems mounted inside, left alone (paths)
    std::vector<ItemFailure> failures;    // what could not be removed, with the reason
};

// Removes the folder `name` directly in `root`. It is first renamed to
// `removingName`, a name no backup can have, so that a removal cut short
// (a killed program, a power loss) never leaves a half-emptied folder under
// a backup's name; then everything in it is removed beneath that folder.
// With an empty `name`, finishes the removal of `removingName` itself.
[[nodiscard]] FolderRemoval removeFolder(const std::string &root, const std::string &name,
                                         const std::string &removingName);

} // namespace drovanta::engine
