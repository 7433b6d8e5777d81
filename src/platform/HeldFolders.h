#pragma once

#include "platform/FileOperations.h"

#include <compare>
#include <cstdint>
#include <functional>
#include <memory>

namespace drovanta::platform {

// A folder as the system knows it, whatever path names it: its volume and
// its number there (device and inode; volume serial and file index).
struct FolderIdentity {
    std::uint64_t volume = 0;
    std::uint64_t index = 0;
    friend auto operator<=>(const FolderIdentity &, const FolderIdentity &) = default;
};

// The folders this process holds for a run. The system's lock belongs to the
// process, so a run nested inside another (the window's Start pressed during
// a run) shares the outer run's lock instead of being refused by it.
//
// Returns a lock on `folder`: the one this process already holds, shared, or
// else a new one made by `take`, which takes the system's lock and returns
// what releases it when destroyed, or nullptr when another process holds the
// folder (then this returns nullptr too).
std::unique_ptr<FolderLock> shareOrTake(const FolderIdentity &folder,
                                        const std::function<std::shared_ptr<void>()> &take);

} // namespace drovanta::platform
