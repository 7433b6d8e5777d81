#pragma once

#include <string_view>

namespace drovanta::engine {

// Items that an operating system keeps in a drive's root for itself (recycle
// bins, swap and hibernation files, repair folders). A backup of the drive
// leaves them out. The comparison ignores ASCII case: the same drive shows
// "$RECYCLE.BIN" or "$Recycle.Bin" depending on who formatted it.
[[nodiscard]] bool isDriveBookkeepingName(std::string_view name);

// Files being written carry this prefix until they are complete; leftovers
// of an interrupted run are recognised by it and removed.
inline constexpr std::string_view temporaryPrefix = ".drovanta-tmp-";

[[nodiscard]] inline bool isTemporaryName(std::string_view name)
{
    return name.starts_with(temporaryPrefix);
}

} // namespace drovanta::engine
