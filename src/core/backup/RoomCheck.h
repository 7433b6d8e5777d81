#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

namespace drovanta::backup {

// The room a backup of a whole drive needs: the drive's used bytes (total
// minus free) at this moment. Throws Failure when the drive is not listed or
// its figures cannot be read.
std::uint64_t roomNeededForDrive(const std::string &letter);

// When an earlier backup lies beside `backupFolder`, what a backup of
// `sourceRoot` into it must write while sharing that backup's unchanged
// files (a same-day rerun counts only what is not up to date yet), measured
// by the copy engine with the copy's own decisions. Nothing when there is no
// earlier backup, what must be written cannot be measured, or `stop` was
// raised meanwhile.
std::optional<std::uint64_t> roomNeededWithEarlierBackup(const std::string &sourceRoot,
                                                         const std::string &backupFolder,
                                                         const std::atomic<bool> &stop);

// What a backup of `source` into `backupFolder` must write, sharing with
// the backup folder `earlier` (empty: a full copy). Nothing when it cannot
// be measured or `stop` was raised meanwhile.
std::optional<std::uint64_t> roomNeededToWrite(const std::string &source, const std::string &backupFolder,
                                               const std::string &earlier, const std::atomic<bool> &stop);

// The bytes available on the drive `letter` now, read again (after old
// backups were removed, say). Throws Failure when it is not listed.
std::uint64_t freeSpaceOfDrive(const std::string &letter);

// Field 2 of a drive record (the destination's free bytes) as a number.
// Throws Failure("Type mismatch") for a text that is no number.
double freeSpaceField(const std::string &text);

// "There is no enough room on E:\ to backup the entire C:\ drive. ..."
std::string noRoomMessage(const std::string &destinationRoot, const std::string &sourceRoot);

} // namespace drovanta::backup
