#pragma once

#include <cstddef>
#include <string_view>

namespace drovanta::engine {

// Items that an operating system keeps in a drive's root for itself (recycle
// bins, swap and hibernation files, repair folders). A backup of the drive
// leaves them out. The comparison ignores ASCII case: the same drive shows
// "$RECYCLE.BIN" or "$Recycle.Bin" depending on who formatted it.
[[nodiscard]] bool isDriveBookkeepingName(std::string_view name);

// Files being written carry this prefix and sixteen random hex digits until
// they are complete. A source item may bear such a name too and is copied
// like any other; so a name of this form in a target folder is taken for a
// leftover of an interrupted run only when the source folder has no item of
// that name (see removeLeftovers). The copier holds the backup folder's lock
// for the whole run, so no other live run's temporaries are there.
inline constexpr std::string_view temporaryPrefix = ".drovanta-tmp-";
inline constexpr std::size_t temporaryDigits = 16;

// Whether `name` has the form of the engine's temporary names.
[[nodiscard]] inline bool isTemporaryName(std::string_view name)
{
    if (name.size() != temporaryPrefix.size() + temporaryDigits || !name.starts_with(temporaryPrefix))
        return false;
    for (const char c : name.substr(temporaryPrefix.size())) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}

} // namespace drovanta::engine
