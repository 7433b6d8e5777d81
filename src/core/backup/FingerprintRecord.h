#pragma once

#include "engine/CopyEngine.h"

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>

namespace drovanta::backup {

using FingerprintMap = std::unordered_map<std::string, engine::Fingerprint>;

// The record of a backup's fingerprints lies beside the backups, outside
// every backup folder: a backup folder holds the source's items and nothing
// else, and a restore of one brings back no file of ours.
//
// "DESTINATION/.drovanta/Backup mm-dd-yyyy.sums", plain text, one file a line:
//
//   <32 hex digits of XXH3-128> <two blanks> <size in bytes> <two blanks> <path>
//
// The path is relative to the backup folder, '/' between its parts, with
// "\\" for a backslash and "\n" for a line break in a name; any other byte,
// including those that are not UTF-8, stands as it is. Lines starting with
// '#' are comments.
std::string recordPath(const std::string &destinationRoot, const std::string &backupFolderName);

std::string formatRecord(const FingerprintMap &files);
// False, with the line that is not one, when `text` is no record.
bool parseRecord(const std::string &text, FingerprintMap &files, std::string &problem);

// Reads a record; nothing when it is missing or unreadable (`problem` says which).
std::optional<FingerprintMap> readRecord(const std::string &path, std::string &problem);

// Writes the record under a temporary name beside it, then renames it into
// place: a record is complete or absent, never cut short. Returns why not.
std::optional<std::string> writeRecord(const std::string &path, const FingerprintMap &files);

// The latest backup folder in `destinationRoot` (empty: none), or the one
// named `name` there when given.
std::string chosenBackupFolder(const std::string &destinationRoot, const std::string &name);

struct RecordOutcome {
    std::optional<std::string> problem; // why no record was written
    std::uint64_t filesRead = 0;
    std::uint64_t filesReused = 0;
};

// Fingerprints `backupFolder` (in `destinationRoot`) after its run and
// writes its record. Files that are the earlier backup's very files take
// that backup's fingerprints from its record without being read.
RecordOutcome recordBackup(engine::CopyEngine &engine, const std::string &destinationRoot,
                           const std::string &backupFolder, const std::atomic<bool> &stop);

} // namespace drovanta::backup
