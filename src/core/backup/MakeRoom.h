#pragma once

#include "platform/Clock.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace drovanta::backup {

// Making room on a destination that daily backups have filled: the oldest
// backups go, all or nothing, and the user is told which and what they freed.

// A backup folder directly in the destination root.
struct DatedBackup {
    std::string name; // "Backup mm-dd-yyyy"
    std::chrono::year_month_day date;
};

// The date in a backup folder's name: exactly "Backup mm-dd-yyyy" with a date
// that exists. Nothing for any other name.
[[nodiscard]] std::optional<std::chrono::year_month_day> backupDate(const std::string &name);

// A day of the platform's clock as a calendar date.
[[nodiscard]] std::chrono::year_month_day calendarDate(const platform::LocalDate &date);

// The backup folders in `destinationRoot`, oldest first: real folders (never
// a link or a file) named exactly as above. Nothing else there is ever a
// backup.
[[nodiscard]] std::vector<DatedBackup> datedBackups(const std::string &destinationRoot);

// One old backup removed, or meant to be.
struct RemovedBackup {
    std::string name;
    std::uint64_t freed = 0; // bytes its removal frees (with those removed before it)
    bool operator==(const RemovedBackup &) const = default;
};

// Which of the oldest backups before `today` must go so that `needed` bytes
// fit beside the `available` ones: exactly as many as needed, oldest first
// (the latest earlier backup last). Empty `removed` with `enough` false when
// even removing every one would not free enough; `freedByAll` then says
// what that would free.
struct RoomPlan {
    bool enough = false;
    std::vector<RemovedBackup> removed;
    std::uint64_t freed = 0;
    std::uint64_t freedByAll = 0;
    std::size_t candidates = 0;
};
[[nodiscard]] RoomPlan planRoom(const std::string &destinationRoot, std::chrono::year_month_day today,
                                std::uint64_t needed, std::uint64_t available);

// Removes `backups` from `destinationRoot`, one at a time: each is first
// renamed to a name no backup has, then emptied without following a link or
// entering a filesystem mounted inside. A folder that another run holds is
// skipped. Says which are gone, and one line per problem.
struct Removals {
    std::vector<RemovedBackup> removed;
    std::vector<std::string> problems;
};
[[nodiscard]] Removals removeBackups(const std::string &destinationRoot, const std::vector<RemovedBackup> &backups);

// Finishes the removals that a run cut short left in `destinationRoot`.
void finishInterruptedRemovals(const std::string &destinationRoot);

// The backups that thinning removes, among `backups` (oldest first, today's
// included): kept are the last backup of each of the `daily` most recent days,
// `weekly` most recent weeks (Monday to Sunday) and `monthly` most recent
// months that have one, today's and the latest one before today.
[[nodiscard]] std::vector<DatedBackup> thinnedOut(const std::vector<DatedBackup> &backups,
                                                  std::chrono::year_month_day today, int daily, int weekly,
                                                  int monthly);

// What thinning `destinationRoot` removes after today's backup (as if it
// had been made, for a dry run), each with what it frees, in the order
// they go. A rule of 0 keeps nothing by itself.
[[nodiscard]] std::vector<RemovedBackup> thinning(const std::string &destinationRoot, std::chrono::year_month_day today,
                                                  int daily, int weekly, int monthly);

// "Removing the 2 oldest backups (Backup 01-02-2026, Backup 01-03-2026) frees 4.4 GB."
[[nodiscard]] std::string removalText(const RoomPlan &plan);

} // namespace drovanta::backup
