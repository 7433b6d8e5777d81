#include "cli/CheckCommands.h"

#include "cli/CommandLine.h"
#include "cli/Console.h"
#include "cli/StopOnSignal.h"

#include "core/backup/EarlierBackup.h"
#include "core/backup/FingerprintRecord.h"
#include "core/backup/MakeRoom.h"
#include "core/backup/RunLog.h"
#include "core/backup/StopCopy.h"

#include "engine/CopyEngine.h"

#include "platform/FolderFacts.h"
#include "platform/Services.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace drovanta::app {
namespace {

namespace fs = std::filesystem;
using engine::Difference;

constexpr char separator =
#ifdef _WIN32
    '\\';
#else
    '/';
#endif

// One verification, check or restore as the run log records it, from what
// the console was told; written when the command ends, whichever way.
class RecordedRun final {
public:
    RecordedRun(backup::RunKind kind, Console &console)
        : m_console(console), m_record(backup::newRunRecord(kind, std::chrono::system_clock::now()))
    {
    }

    backup::RunRecord &record() { return m_record; }

    // Says why the command cannot start, records that, and returns its exit code.
    int refuse(const std::string &text)
    {
        m_console.error(text);
        return end(ExitCode::refused, "refused: " + text, {});
    }
    // An item the command found wrong or could not handle, for the log; the
    // caller prints it in its own group.
    void fail(const std::string &path, const std::string &operation, const std::string &reason)
    {
        m_record.failures.push_back({path, operation, reason, 0});
    }
    // A line of the command's closing words: on the error stream and among the log's notes.
    void note(const std::string &line)
    {
        m_console.error(line);
        m_record.notes.push_back(line);
    }
    // Records the end, `summary` being the command's last line (already
    // printed), and returns `exitCode`.
    int end(int exitCode, const std::string &ending, const std::string &summary)
    {
        m_record.ended = std::chrono::system_clock::now();
        m_record.exitCode = exitCode;
        m_record.ending = ending;
        m_record.summary = summary;
        std::stable_sort(m_record.failures.begin(), m_record.failures.end(),
                         [](const auto &a, const auto &b) { return a.path < b.path; });
        std::string reason;
        if (backup::appendRunRecord(m_record, reason).empty())
            m_console.error("This run could not be recorded: " + reason);
        return exitCode;
    }

private:
    Console &m_console;
    backup::RunRecord m_record;
};

// Whether `inner` is `outer` or lies below it, by whole components; both canonical.
bool within(const std::string &inner, const std::string &outer)
{
    if (inner == outer)
        return true;
    const std::string prefix = outer.ends_with('/') || outer.ends_with('\\') ? outer : outer + separator;
    return inner.starts_with(prefix);
}

// The destination `destinationArgument` names and the backup folder in it
// that `--verify`/`--check` look at; an empty folder, with why there is none
// in `problem`, when there is none.
struct ChosenBackup {
    std::string destination;
    std::string folder;
};

ChosenBackup chosenBackup(const std::string &destinationArgument, const std::string &folderName, std::string &problem)
{
    const platform::FolderFacts &folders = *platform::services().folders;
    ChosenBackup chosen{folders.canonicalFolder(destinationArgument), {}};
    if (chosen.destination.empty()) {
        problem = "The destination '" + destinationArgument + "' does not exist or is not a folder.";
        return {};
    }
    const std::string folder = backup::chosenBackupFolder(chosen.destination, folderName);
    if (folder.empty()) {
        problem = "There is no \"Backup mm-dd-yyyy\" folder in '" + chosen.destination + "'.";
        return {};
    }
    if (folders.canonicalFolder(folder).empty()) {
        problem = "There is no backup folder '" + folderName + "' in '" + chosen.destination + "'.";
        return {};
    }
    chosen.folder = folder;
    return chosen;
}

// Prints a group's heading and its lines, sorted; nothing for an empty group.
void printGroup(Console &console, const std::string &heading, std::vector<std::string> lines)
{
    if (lines.empty())
        return;
    std::sort(lines.begin(), lines.end());
    console.output(heading);
    for (const std::string &line : lines)
        console.output("  " + line);
}

std::string withDetail(const std::string &path, const std::string &detail)
{
    return detail.empty() ? path : path + ": " + detail;
}

} // namespace

int runVerify(const std::string &sourceArgument, const std::string &destinationArgument,
              const std::string &folderName, Console &console)
{
    RecordedRun run(backup::RunKind::Verify, console);
    run.record().source = sourceArgument;
    run.record().backupFolder = destinationArgument;
    const platform::FolderFacts &folders = *platform::services().folders;
    const std::string source = folders.canonicalFolder(sourceArgument);
    if (source.empty())
        return run.refuse("The source '" + sourceArgument + "' does not exist or is not a folder.");
    run.record().source = source;
    std::string problem;
    const std::string backupFolder = chosenBackup(destinationArgument, folderName, problem).folder;
    if (backupFolder.empty())
        return run.refuse(problem);
    run.record().backupFolder = backupFolder;

    engine::CompareParams params;
    params.source = source;
    params.backup = backupFolder;
    params.atDriveRoot = folders.isFilesystemRoot(source);
    backup::StopCopy = false;
    StopOnSignal stopOnSignal;
    const engine::Comparison comparison = platform::services().copyEngine->compare(params, backup::StopCopy);
    if (!comparison.failure.empty())
        return run.refuse("Cannot verify the backup: " + comparison.failure + ".");

    constexpr std::array<const char *, 6> headings = {
        "Missing from the backup:",
        "Only in the backup:",
        "Content differs while size and modification time agree (the copy decayed or was changed in place):",
        "Changed in the source since the backup:",
        "Metadata differs (mode, owner, times, extended attributes, ACLs, link targets):",
        "Could not be read:",
    };
    // The same groups in the run log, one item a line.
    constexpr std::array<const char *, 6> logged = {
        "missing from the backup", "only in the backup", "content differs",
        "changed in the source",   "metadata differs",   "could not be read",
    };
    std::array<std::vector<std::string>, 6> groups;
    for (const engine::Differing &difference : comparison.differences) {
        const auto group = static_cast<std::size_t>(difference.kind);
        groups[group].push_back(withDetail(difference.path, difference.detail));
        run.fail(difference.path, "compare", withDetail(logged[group], difference.detail));
    }
    for (std::size_t group = 0; group < groups.size(); ++group)
        printGroup(console, headings[group], groups[group]);

    const std::string name = backup::backupFolderName(backupFolder);
    if (comparison.stopped) {
        const std::string stopped = "The verification was stopped before everything was compared.";
        console.error(stopped);
        return run.end(ExitCode::stopped, "stopped", stopped);
    }
    if (comparison.differences.empty()) {
        const std::string matches = "\"" + name + "\" matches the source.";
        console.output(matches);
        return run.end(ExitCode::allCopied, "finished; the backup matches the source", matches);
    }
    const std::string differs =
        std::to_string(comparison.differences.size()) + " differences between \"" + name + "\" and the source.";
    console.error(differs);
    return run.end(ExitCode::someNotCopied, "finished; the backup differs from the source", differs);
}

int runCheck(const std::string &destinationArgument, const std::string &folderName, Console &console)
{
    RecordedRun run(backup::RunKind::Check, console);
    run.record().backupFolder = destinationArgument;
    std::string problem;
    const auto [destination, backupFolder] = chosenBackup(destinationArgument, folderName, problem);
    if (backupFolder.empty())
        return run.refuse(problem);
    run.record().backupFolder = backupFolder;
    const std::string name = backup::backupFolderName(backupFolder);
    const std::string recordFile = backup::recordPath(destination, name);
    run.record().source = recordFile;
    const auto record = backup::readRecord(recordFile, problem);
    if (!record)
        return run.refuse("Cannot check \"" + name + "\": its fingerprint record '" + recordFile + "' " +
                          (problem == "there is none" ? "does not exist" : problem) + ".");

    engine::FingerprintParams params;
    params.folder = backupFolder;
    backup::StopCopy = false;
    StopOnSignal stopOnSignal;
    const engine::Fingerprints now = platform::services().copyEngine->fingerprint(params, backup::StopCopy);
    if (!now.failure.empty())
        return run.refuse("Cannot check the backup: " + now.failure + ".");
    if (now.stopped) {
        const std::string stopped = "The check was stopped before every file was read.";
        console.error(stopped);
        return run.end(ExitCode::stopped, "stopped", stopped);
    }

    std::vector<std::string> changed;
    std::vector<std::string> missing;
    std::vector<std::string> unrecorded;
    std::vector<std::string> unreadable;
    std::map<std::string, bool> failedToRead;
    for (const auto &failure : now.unreadable) {
        unreadable.push_back(withDetail(failure.path, failure.reason));
        failedToRead[failure.path] = true;
        run.fail(failure.path, "read", failure.reason);
    }
    for (const auto &[path, fingerprint] : *record) {
        const auto found = now.files.find(path);
        if (found == now.files.end()) {
            if (!failedToRead.contains(path)) {
                missing.push_back(path);
                run.fail(path, "check", "in the record, missing from the backup");
            }
        } else if (found->second.hash != fingerprint.hash || found->second.size != fingerprint.size) {
            changed.push_back(path);
            run.fail(path, "check", "content no longer matches the record");
        }
    }
    for (const auto &[path, fingerprint] : now.files) {
        if (!record->contains(path)) {
            unrecorded.push_back(path);
            run.fail(path, "check", "in the backup, not in the record");
        }
    }
    printGroup(console, "Content no longer matches the record:", changed);
    printGroup(console, "In the record, missing from the backup:", missing);
    printGroup(console, "In the backup, not in the record:", unrecorded);
    printGroup(console, "Could not be read:", unreadable);
    const std::size_t problems = changed.size() + missing.size() + unrecorded.size() + unreadable.size();
    if (problems == 0) {
        const std::string matches =
            "\"" + name + "\" matches its fingerprints (" + std::to_string(now.files.size()) + " files).";
        console.output(matches);
        return run.end(ExitCode::allCopied, "finished; the backup matches its fingerprints", matches);
    }
    const std::string differs =
        std::to_string(problems) + " files of \"" + name + "\" do not match its fingerprints.";
    console.error(differs);
    return run.end(ExitCode::someNotCopied, "finished; the backup does not match its fingerprints", differs);
}

int runRestore(const std::string &backupArgument, const std::string &targetArgument, bool overwrite, bool dryRun,
               Console &console)
{
    RecordedRun run(backup::RunKind::Restore, console);
    run.record().source = backupArgument;
    run.record().target = targetArgument;
    const platform::FolderFacts &folders = *platform::services().folders;
    // The backup folder is the first "Backup mm-dd-yyyy" on the way (or the
    // whole path when none is): the path is taken as named down to it, and
    // nothing below it is reached through a link.
    std::error_code ec;
    const fs::path given = fs::absolute(fs::path(backupArgument), ec).lexically_normal();
    fs::path top;
    fs::path below;
    bool found = false;
    for (const fs::path &part : given) {
        if (part.empty())
            continue;
        if (found)
            below /= part;
        else
            top /= part;
        found = found || backup::backupDate(part.string()).has_value();
    }
    if (!found) {
        top = given;
        below.clear();
    }
    const std::string backupRoot = folders.canonicalFolder(top.string());
    if (backupRoot.empty())
        return run.refuse("The backup '" + backupArgument + "' does not exist or is not a folder.");
    run.record().backupFolder = backupRoot;
    const std::string target = folders.canonicalFolder(targetArgument);
    if (target.empty())
        return run.refuse("The target '" + targetArgument + "' does not exist or is not a folder.");
    run.record().target = target;
    if (within(target, backupRoot))
        return run.refuse("The target '" + targetArgument + "' lies inside the backup '" + backupRoot +
                          "': a restore never writes into a backup.");
    if (within(backupRoot, target))
        return run.refuse("The backup '" + backupRoot + "' lies inside the target '" + targetArgument +
                          "': the restore would copy into what it reads.");

    std::string item = backupRoot;
    for (const fs::path &part : below) {
        if (part == "..")
            return run.refuse("The backup path '" + backupArgument + "' leaves the backup folder.");
        item += separator + part.string();
    }
    run.record().source = item;
    const bool whole = item == backupRoot;
    const fs::file_status status = fs::symlink_status(fs::path(item), ec);
    if (ec || !fs::exists(status))
        return run.refuse("There is no '" + item + "' in the backup.");
    const bool folder = fs::is_directory(status);

    engine::Params params;
    params.source = item;
    params.sourceRoot = backupRoot;
    params.targetRoot = target;
    params.target = whole || !folder ? target : target + separator + fs::path(item).filename().string();
    params.skipUnchanged = true;
    params.keepExisting = !overwrite;
    params.leavesOutLeftovers = true;
    engine::CopyEngine &engine = *platform::services().copyEngine;
    backup::StopCopy = false;
    StopOnSignal stopOnSignal;

    // A dry run writes nothing, and like a backup's it is recorded only
    // when refused.
    if (dryRun) {
        const engine::RestorePlan plan = engine.planRestore(params, backup::StopCopy);
        if (!plan.failure.empty())
            return run.refuse("Cannot plan the restore: " + plan.failure + ".");
        std::array<std::size_t, 3> counts{};
        for (const engine::PlannedItem &planned : plan.items) {
            static constexpr std::array<const char *, 3> words = {"add", "replace", "keep"};
            console.output(std::string(words[static_cast<std::size_t>(planned.action)]) + "\t" + planned.path);
            ++counts[static_cast<std::size_t>(planned.action)];
        }
        console.error("Would add " + std::to_string(counts[0]) + ", replace " + std::to_string(counts[1]) +
                      " and keep " + std::to_string(counts[2]) + " items; nothing was written.");
        return ExitCode::allCopied;
    }

    engine::NoProgress quiet;
    const engine::Result result = folder ? engine.copyTree(params, quiet, backup::StopCopy)
                                         : engine.copyFile(params, quiet, backup::StopCopy);
    std::vector<std::string> kept = result.kept;
    std::sort(kept.begin(), kept.end());
    for (const std::string &path : kept)
        run.note("Kept, differs from the backup: " + path);
    for (const engine::ItemFailure &failure : result.failures) {
        console.error("Not restored: " + failure.path + " (" + failure.operation + ": " + failure.reason + ")");
        run.fail(failure.path, failure.operation, failure.reason);
    }
    if (result.destinationFailed)
        run.note("The target failed: " + result.destinationFailure.path + " (" + result.destinationFailure.operation +
                 ": " + result.destinationFailure.reason + ")");
    if (!result.notes.empty())
        run.note("The target could not keep everything of some items (owners, times, attributes or links).");
    if (result.ok())
        console.output("Done.");
    const std::string summary =
        "Restored " + std::to_string(result.files) + " files (" + std::to_string(result.bytes) + " bytes), " +
        std::to_string(result.links) + " links, " + std::to_string(result.specials) + " special files, " +
        std::to_string(result.folders) + " folders; " + std::to_string(result.unchanged) + " already in place; " +
        std::to_string(kept.size()) + " kept" + (kept.empty() ? "." : " (--overwrite replaces them).");
    console.error(summary);
    if (result.stopped)
        return run.end(ExitCode::stopped, "stopped", summary);
    if (result.destinationFailed)
        return run.end(ExitCode::destinationFailed, "the target failed", summary);
    if (!result.failures.empty())
        return run.end(ExitCode::someNotCopied, "finished; some items could not be restored", summary);
    return run.end(ExitCode::allCopied, "finished; everything was restored", summary);
}

} // namespace drovanta::app
