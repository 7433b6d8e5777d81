#pragma once

#include "core/backup/RunReport.h"

#include "platform/Desktop.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace drovanta::backup {

// What a run did: a backup, or a restore, verification or check of a
// backup made earlier (the command line's --restore, --verify, --check).
enum class RunKind { Backup, Restore, Verify, Check };

// One run as the run log keeps it, the same fields in both of its files.
struct RunRecord {
    RunKind kind = RunKind::Backup;
    std::chrono::system_clock::time_point started;
    std::chrono::system_clock::time_point ended;
    std::string version;              // the program's version
    std::string user;                 // who ran it
    bool fromWindow = true;           // started from the window, else from the command line
    std::vector<std::string> options; // the command line's arguments as given (none for the window)
    std::string source;       // for a restore the backup (or the item in it) restored; for a check its record
    std::string backupFolder; // the backup folder written, restored from, verified or checked
    std::string target;       // where a restore wrote; empty for the other runs
    int exitCode = 0;                      // the command line's exit code for the run, also for the window's runs
    std::string ending;                    // "refused: <reason>", "stopped", "finished; ..."
    std::string summary;                   // the summary line of the run
    std::vector<std::string> notes;        // what the closing message says beyond "Done.", line by line
    std::vector<engine::ItemFailure> failures; // the items that could not be copied, sorted by path
    std::vector<std::string> notCopiedByDesign;
};

// A record of a run of `kind` begun at `started`, with what every record
// takes from the process: the version, the user, how it was started and
// with which options. The caller fills in the rest.
RunRecord newRunRecord(RunKind kind, std::chrono::system_clock::time_point started);

// The record of a backup run that ended at `ended`, from its report.
RunRecord runRecord(const RunReport &report, const std::string &source, const std::string &backupFolder,
                    std::chrono::system_clock::time_point started, std::chrono::system_clock::time_point ended);

// The run as "runs.log" holds it: a paragraph of "Field: value" lines for
// people, ended by a blank line. A value never spans lines: control
// characters and bytes that are not UTF-8 in a name are written as the
// messages show them ("\x0A" for a line break, "\xE9").
std::string runLogEntry(const RunRecord &record);

// The run as "runs.jsonl" holds it: one JSON object on one line, for scripts
// and monitoring. Control characters are JSON escapes ("\n", "\u001B");
// bytes of a path that are not UTF-8 are written as the messages show them
// ("\xE9" as four characters).
std::string runJsonLine(const RunRecord &record);

// Each log file starts afresh past this size, keeping the previous one as
// "runs.log.1" (and "runs.jsonl.1"): a drive with thousands of unreadable
// files would otherwise grow the log by its list every night, forever.
inline constexpr std::uintmax_t runLogCap = 1024 * 1024;

// How the runs of this process were started, for the run log: the command
// line passes its arguments as given; without this call they count as the
// window's.
void setCommandLineOptions(std::vector<std::string> arguments);

// Appends the record to "runs.log" and "runs.jsonl" in the user's state
// folder (never inside a backup). Returns where, or an empty path with
// `reason` set: a log that cannot be written costs the run nothing.
std::string appendRunRecord(const RunRecord &record, std::string &reason);

// Appends the backup run to the run log (see appendRunRecord) and tells the
// report where it is, or why it is not.
void recordRun(RunReport &report, const std::string &source, const std::string &backupFolder,
               std::chrono::system_clock::time_point started);

// Holds off sleep for as long as the result lives (nullptr where the desktop
// cannot, or no desktop service is installed).
[[nodiscard]] std::unique_ptr<platform::SleepBlock> keepAwake(const std::string &why);

// The notification at the end of a run: "Backup finished", "Backup
// stopped" or "Backup failed", then what was copied where and what went
// wrong.
std::string announcementTitle(const RunReport &report);
std::string announcementText(const RunReport &report, const std::string &backupFolder);

// Announces the end of a run on the desktop, with an "Open folder" action
// for the backup folder.
void announceEnd(const RunReport &report, const std::string &backupFolder);

} // namespace drovanta::backup
