#pragma once

#include "core/backup/RunReport.h"

#include "platform/Desktop.h"

#include <chrono>
#include <memory>
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

// Holds off sleep for as long as the result lives (nullptr where the desktop
// cannot, or no desktop service is installed).
[[nodiscard]] std::unique_ptr<platform::SleepBlock> keepAwake(const std::string &why);

// Announces the end of a run on the desktop with the closing message's first
// line (and its second paragraph, which says what went wrong, if any).
void announceEnd(const RunReport &report);

} // namespace drovanta::backup
