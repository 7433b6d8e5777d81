#pragma once

#include <string>

namespace drovanta::backup {

// The backup that today's run shares unchanged files with: among the real
// folders (not links) beside `backupFolderPath` named "Backup mm-dd-yyyy",
// the one with the latest date before the date in that path's own name.
// Returns its full path, or an empty text when there is none or the
// destination root cannot be listed.
std::string earlierBackupFolder(const std::string &backupFolderPath);

// The folder name of a backup folder path: "Backup 03-15-2024".
std::string backupFolderName(const std::string &backupFolderPath);

} // namespace drovanta::backup
