#include "core/backup/RunLog.h"

#include "core/backup/RunProgress.h"
#include "core/shell/PrintableText.h"

#include "platform/Services.h"
#include "platform/StateFolder.h"

#include "DrovantaVersion.h"

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <sstream>

namespace drovanta::backup {
namespace {

std::vector<std::string> commandLineOptions;
bool startedFromCommandLine = false;

std::tm brokenDown(std::chrono::system_clock::time_point when, bool utc)
{
    const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    std::tm parts {};
#ifdef _WIN32
    if (utc)
        gmtime_s(&parts, &seconds);
    else
        localtime_s(&parts, &seconds);
#else
    if (utc)
        gmtime_r(&seconds, &parts);
    else
        localtime_r(&seconds, &parts);
#endif
    return parts;
}

// Local time for people; UTC in ISO 8601 for scripts, which then need no
// time zone to compare runs.
std::string timeText(std::chrono::system_clock::time_point when, bool utc = false)
{
    const std::tm parts = brokenDown(when, utc);
    char text[32];
    std::strftime(text, sizeof text, utc ? "%Y-%m-%dT%H:%M:%SZ" : "%Y-%m-%d %H:%M:%S", &parts);
    return text;
}

std::string endingText(const RunReport &report)
{
    if (report.refused())
        return "refused: " + report.refusal();
    if (report.destinationFailed())
        return "the destination failed";
    if (report.stopped())
        return "stopped";
    if (!report.allCopied())
        return "finished; some items could not be copied";
    return "finished; everything was copied";
}

// The closing message beyond its "Done.", one entry per line.
std::vector<std::string> noteLines(const RunReport &report)
{
    std::vector<std::string> lines;
    const std::string closing = report.closingText();
    const auto first = closing.find("\n\n");
    if (first == std::string::npos)
        return lines;
    std::size_t at = first + 2;
    while (at <= closing.size()) {
        const auto end = std::min(closing.find('\n', at), closing.size());
        if (end > at)
            lines.push_back(closing.substr(at, end - at));
        at = end + 1;
    }
    return lines;
}

// "Backup", "Restore"...: the first word of a paragraph of runs.log, and
// (in lower case) the value of "run" in runs.jsonl.
std::string kindWord(RunKind kind)
{
    switch (kind) {
    case RunKind::Backup:
        return "Backup";
    case RunKind::Restore:
        return "Restore";
    case RunKind::Verify:
        return "Verify";
    case RunKind::Check:
        return "Check";
    }
    return "Backup";
}

std::string lowerCase(std::string text)
{
    for (char &c : text)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return text;
}

// An argument as a shell would take it back: quoted when it holds anything
// but plain characters.
std::string shellWord(const std::string &word)
{
    const bool plain = !word.empty() && word.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                                               "0123456789-_./:=,+@%") == std::string::npos;
    if (plain)
        return word;
    std::string quoted = "'";
    for (const char c : word)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::string jsonString(const std::string &text)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string json = "\"";
    for (std::size_t at = 0; at < text.size();) {
        const auto c = static_cast<unsigned char>(text[at]);
        if (c >= 0x80) {
            if (const std::size_t length = shell::utf8SequenceLength(text, at)) {
                json.append(text, at, length);
                at += length;
            } else {
                json += std::string("\\\\x") + hex[c >> 4] + hex[c & 0xF];
                ++at;
            }
            continue;
        }
        if (c == '"' || c == '\\')
            json += std::string("\\") + static_cast<char>(c);
        else if (c == '\n')
            json += "\\n";
        else if (c == '\t')
            json += "\\t";
        else if (c == '\r')
            json += "\\r";
        else if (c < 0x20 || c == 0x7F)
            json += std::string("\\u00") + hex[c >> 4] + hex[c & 0xF];
        else
            json += static_cast<char>(c);
        ++at;
    }
    return json + "\"";
}

std::string jsonStrings(const std::vector<std::string> &texts)
{
    std::string json = "[";
    for (std::size_t i = 0; i < texts.size(); ++i)
        json += (i > 0 ? "," : "") + jsonString(texts[i]);
    return json + "]";
}

} // namespace

void setCommandLineOptions(std::vector<std::string> arguments)
{
    commandLineOptions = std::move(arguments);
    startedFromCommandLine = true;
}

RunRecord newRunRecord(RunKind kind, std::chrono::system_clock::time_point started)
{
    RunRecord record;
    record.kind = kind;
    record.started = started;
    record.ended = started;
    record.version = DROVANTA_VERSION;
    record.user = platform::userName();
    record.fromWindow = !startedFromCommandLine;
    record.options = commandLineOptions;
    return record;
}

RunRecord runRecord(const RunReport &report, const std::string &source, const std::string &backupFolder,
                    std::chrono::system_clock::time_point started, std::chrono::system_clock::time_point ended)
{
    const std::chrono::duration<double> elapsed = ended - started;
    RunRecord record = newRunRecord(RunKind::Backup, started);
    record.ended = ended;
    record.source = source;
    record.backupFolder = backupFolder;
    record.exitCode = report.exitCode();
    record.ending = endingText(report);
    record.summary = report.summaryText(elapsed.count());
    record.notes = noteLines(report);
    record.notes.insert(record.notes.end(), report.runNotes().begin(), report.runNotes().end());
    // Old backups removed for the run, each with what it freed.
    std::istringstream removals(report.removalLines());
    for (std::string line; std::getline(removals, line);)
        record.notes.push_back(line);
    if (!report.recordProblem().empty())
        record.notes.push_back("No fingerprint record was written for the backup: " + report.recordProblem() + ".");
    record.failures = report.sortedFailures();
    record.notCopiedByDesign = report.notCopiedByDesignLines();
    return record;
}

std::string runLogEntry(const RunRecord &record)
{
    // Every field stays on its line, whatever a name holds.
    const auto field = [](const std::string &text) { return shell::printableLine(text); };
    std::string entry =
        kindWord(record.kind) + " from " + timeText(record.started) + " to " + timeText(record.ended) + "\n";
    entry += "Version: " + field(record.version) + "\n";
    entry += "User: " + field(record.user) + "\n";
    if (record.fromWindow) {
        entry += "Started from: the window\n";
    } else {
        entry += "Started from: the command line\nOptions:";
        for (const auto &option : record.options)
            entry += " " + field(shellWord(option));
        entry += "\n";
    }
    entry += "Source: " + field(record.source) + "\n";
    if (!record.backupFolder.empty())
        entry += "Backup folder: " + field(record.backupFolder) + "\n";
    if (!record.target.empty())
        entry += "Target: " + field(record.target) + "\n";
    entry += "Ended: " + field(record.ending) + "\n";
    entry += "Exit code: " + std::to_string(record.exitCode) + "\n";
    if (!record.summary.empty()) // a refused check has none; a blank line would end the paragraph
        entry += field(record.summary) + "\n";
    for (const auto &note : record.notes)
        entry += field(note) + "\n";
    if (!record.failures.empty()) {
        entry += "Failed:\n";
        for (const auto &failure : record.failures)
            entry += field(failure.path + ": " + (failure.operation.empty() ? "" : failure.operation + ": ") +
                           failure.reason) +
                "\n";
    }
    if (!record.notCopiedByDesign.empty()) {
        entry += "Not copied by design:\n";
        for (const auto &line : record.notCopiedByDesign)
            entry += field(line) + "\n";
    }
    return entry + "\n";
}

std::string runJsonLine(const RunRecord &record)
{
    std::string json = "{\"start\":" + jsonString(timeText(record.started, true));
    json += ",\"end\":" + jsonString(timeText(record.ended, true));
    json += ",\"run\":" + jsonString(lowerCase(kindWord(record.kind)));
    json += ",\"version\":" + jsonString(record.version);
    json += ",\"user\":" + jsonString(record.user);
    json += ",\"startedFrom\":" + jsonString(record.fromWindow ? "window" : "command line");
    json += ",\"options\":" + jsonStrings(record.options);
    json += ",\"source\":" + jsonString(record.source);
    json += ",\"backupFolder\":" + jsonString(record.backupFolder);
    json += ",\"target\":" + jsonString(record.target);
    json += ",\"exitCode\":" + std::to_string(record.exitCode);
    json += ",\"ending\":" + jsonString(record.ending);
    json += ",\"summary\":" + jsonString(record.summary);
    json += ",\"notes\":" + jsonStrings(record.notes);
    json += ",\"failures\":[";
    for (std::size_t i = 0; i < record.failures.size(); ++i) {
        const auto &failure = record.failures[i];
        json += std::string(i > 0 ? "," : "") + "{\"path\":" + jsonString(failure.path) +
            ",\"operation\":" + jsonString(failure.operation) + ",\"reason\":" + jsonString(failure.reason) + "}";
    }
    json += "],\"notCopiedByDesign\":" + jsonStrings(record.notCopiedByDesign);
    return json + "}\n";
}

std::string appendRunRecord(const RunRecord &record, std::string &reason)
{
    const std::string path = platform::appendToStateFile("runs.log", runLogEntry(record), reason, runLogCap);
    // The twin for scripts. Either file that cannot be written (a link or a
    // named pipe may stand for one alone) is the run's log not written.
    std::string jsonReason;
    const bool twinWritten =
        !platform::appendToStateFile("runs.jsonl", runJsonLine(record), jsonReason, runLogCap).empty();
    if (!path.empty() && !twinWritten) {
        reason = jsonReason;
        return {};
    }
    return path;
}

void recordRun(RunReport &report, const std::string &source, const std::string &backupFolder,
               std::chrono::system_clock::time_point started)
{
    const RunRecord record = runRecord(report, source, backupFolder, started, std::chrono::system_clock::now());
    std::string reason;
    const std::string path = appendRunRecord(record, reason);
    report.setLogPath(path, reason);
}

std::unique_ptr<platform::SleepBlock> keepAwake(const std::string &why)
{
    platform::Desktop *desktop = platform::services().desktop;
    return desktop ? desktop->preventSleep(why) : nullptr;
}

std::string announcementTitle(const RunReport &report)
{
    if (report.refused() || report.destinationFailed())
        return "Backup failed";
    if (report.stopped())
        return "Backup stopped";
    return "Backup finished";
}

std::string announcementText(const RunReport &report, const std::string &backupFolder)
{
    const engine::Result &result = report.result();
    std::string text = std::to_string(result.files) + (result.files == 1 ? " file (" : " files (") +
        byteSizeText(result.bytes) + ") copied to " + backupFolder + ".";
    if (report.refused())
        text = "Nothing was copied to " + backupFolder + ": " + report.refusal();
    if (report.destinationFailed())
        text += "\nThe destination failed: " + result.destinationFailure.reason + ".";
    if (const auto failed = result.failures.size(); failed > 0)
        text += "\n" + std::to_string(failed) + (failed == 1 ? " item" : " items") + " could not be copied.";
    return text;
}

void announceEnd(const RunReport &report, const std::string &backupFolder)
{
    platform::Desktop *desktop = platform::services().desktop;
    if (!desktop)
        return;
    desktop->announce({announcementTitle(report), announcementText(report, backupFolder), backupFolder});
}

} // namespace drovanta::backup
