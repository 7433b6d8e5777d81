#pragma once

#include "backup/RunReport.h"

#include <chrono>
#include <string>

namespace drovanta::backup {

// One run as the run log keeps it: when it started and ended, what was
// backed up where, what it copied, every item that failed with its reason,
// and how it ended.
std::string runLogEntry(const RunReport &report, const std::string &source, const std::string &backupFolder,
                        std::chrono::system_clock::time_point started, std::chrono::system_clock::time_point ended);

// Appends the run to "runs.log" in the user's state folder (never inside the
// backup) and tells the report where it is. A log that cannot be written
// costs the run nothing; the report says why instead.
void recordRun(RunReport &report, const std::string &source, const std::string &backupFolder,
               std::chrono::system_clock::time_point started);

} // namespace drovanta::backup
