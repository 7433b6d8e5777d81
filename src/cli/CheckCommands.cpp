#include "cli/CheckCommands.h"

#include "cli/CommandLine.h"
#include "cli/Console.h"
#include "cli/StopOnSignal.h"

#include "core/backup/EarlierBackup.h"
#include "core/backup/FingerprintRecord.h"
#include "core/backup/StopCopy.h"

#include "engine/CopyEngine.h"

#include "platform/FolderFacts.h"
#include "platform/Services.h"

#include <algorithm>
#include <array>
#include <filesystem>
#include <map>
#include <optional>
#include <regex>
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

int cannotStart(Console &console, const std::string &text)
{
    console.error(text);
    return ExitCode::refused;
}

// Whether `inner` is `outer` or lies below it, by whole components; both canonical.
[[maybe_unused]] bool within(const std::string &inner, const std::string &outer)
{
    if (inner == outer)
        return true;
    const std::string prefix = outer.ends_with('/') || outer.ends_with('\\') ? outer : outer + separator;
    return inner.starts_with(prefix);
}

// The backup folder that `--verify`/`--check` look at, or why there is none.
std::optional<std::string> backupFolderIn(const std::string &destination, const std::string &folderName,
                                          Console &console)
{
    const std::string folder = backup::chosenBackupFolder(destination, folderName);
    if (folder.empty()) {
        console.error("There is no \"Backup mm-dd-yyyy\" folder in '" + destination + "'.");
        return std::nullopt;
    }
    if (platform::services().folders->canonicalFolder(folder).empty()) {
        console.error("There is no backup folder '" + folderName + "' in '" + destination + "'.");
        return std::nullopt;
    }
    return folder;
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
    const platform::FolderFacts &folders = *platform::services().folders;
    const std::string source = folders.canonicalFolder(sourceArgument);
    if (source.empty())
        return cannotStart(console, "The source '" + sourceArgument + "' does not exist or is not a folder.");
    const std::string destination = folders.canonicalFolder(destinationArgument);
    if (destination.empty())
        return cannotStart(console,
                           "The destination '" + destinationArgument + "' does not exist or is not a folder.");
    const auto backupFolder = backupFolderIn(destination, folderName, console);
    if (!backupFolder)
        return ExitCode::refused;

    engine::CompareParams params;
    params.source = source;
    params.backup = *backupFolder;
    params.atDriveRoot = folders.isFilesystemRoot(source);
    backup::StopCopy = false;
    StopOnSignal stopOnSignal;
    const engine::Comparison comparison = platform::services().copyEngine->compare(params, backup::StopCopy);
    if (!comparison.failure.empty())
        return cannotStart(console, "Cannot verify the backup: " + comparison.failure + ".");

    constexpr std::array<const char *, 6> headings = {
        "Missing from the backup:",
        "Only in the backup:",
        "Content differs while size and modification time agree (the copy decayed or was changed in place):",
        "Changed in the source since the backup:",
        "Metadata differs (mode, owner, times, extended attributes, ACLs, link targets):",
        "Could not be read:",
    };
    std::array<std::vector<std::string>, 6> groups;
    for (const engine::Differing &difference : comparison.differences)
        groups[static_cast<std::size_t>(difference.kind)].push_back(withDetail(difference.path, difference.detail));
    for (std::size_t group = 0; group < groups.size(); ++group)
        printGroup(console, headings[group], groups[group]);

    const std::string name = backup::backupFolderName(*backupFolder);
    if (comparison.stopped) {
        console.error("The verification was stopped before everything was compared.");
        return ExitCode::stopped;
    }
    if (comparison.differences.empty()) {
        console.output("\"" + name + "\" matches the source.");
        return ExitCode::allCopied;
    }
    console.error(std::to_string(comparison.differences.size()) + " differences between \"" + name +
                  "\" and the source.");
    return ExitCode::someNotCopied;
}

int runCheck(const std::string &destinationArgument, const std::string &folderName, Console &console)
{
    const std::string destination = platform::services().folders->canonicalFolder(destinationArgument);
    if (destination.empty())
        return cannotStart(console,
                           "The destination '" + destinationArgument + "' does not exist or is not a folder.");
    const auto backupFolder = backupFolderIn(destination, folderName, console);
    if (!backupFolder)
        return ExitCode::refused;
    const std::string name = backup::backupFolderName(*backupFolder);
    const std::string recordFile = backup::recordPath(destination, name);
    std::string problem;
    const auto record = backup::readRecord(recordFile, problem);
    if (!record)
        return cannotStart(console, "Cannot check \"" + name + "\": its fingerprint record '" + recordFile + "' " +
                                        (problem == "there is none" ? "does not exist" : problem) + ".");

    engine::FingerprintParams params;
    params.folder = *backupFolder;
    backup::StopCopy = false;
    StopOnSignal stopOnSignal;
    const engine::Fingerprints now = platform::services().copyEngine->fingerprint(params, backup::StopCopy);
    if (!now.failure.empty())
        return cannotStart(console, "Cannot check the backup: " + now.failure + ".");
    if (now.stopped) {
        console.error("The check was stopped before every file was read.");
        return ExitCode::stopped;
    }

    std::vector<std::string> changed;
    std::vector<std::string> missing;
    std::vector<std::string> unrecorded;
    std::vector<std::string> unreadable;
    std::map<std::string, bool> failedToRead;
    for (const auto &failure : now.unreadable) {
        unreadable.push_back(withDetail(failure.path, failure.reason));
        failedToRead[failure.path] = true;
    }
    for (const auto &[path, fingerprint] : *record) {
        const auto found = now.files.find(path);
        if (found == now.files.end()) {
            if (!failedToRead.contains(path))
                missing.push_back(path);
        } else if (found->second.hash != fingerprint.hash || found->second.size != fingerprint.size) {
            changed.push_back(path);
        }
    }
    for (const auto &[path, fingerprint] : now.files) {
        if (!record->contains(path))
            unrecorded.push_back(path);
    }
    printGroup(console, "Content no longer matches the record:", changed);
    printGroup(console, "In the record, missing from the backup:", missing);
    printGroup(console, "In the backup, not in the record:", unrecorded);
    printGroup(console, "Could not be read:", unreadable);
    const std::size_t problems = changed.size() + missing.size() + unrecorded.size() + unreadable.size();
    if (problems == 0) {
        console.output("\"" + name + "\" matches its fingerprints (" + std::to_string(now.files.size()) +
                       " files).");
        return ExitCode::allCopied;
    }
    console.error(std::to_string(problems) + " files of \"" + name + "\" do not match its fingerprints.");
    return ExitCode::someNotCopied;
}

int runRestore(const std::string &backupArgument, const std::string &targetArgument, bool overwrite, bool dryRun,
               Console &console)
{
#ifdef _WIN32
    (void)backupArgument;
    (void)targetArgument;
    (void)overwrite;
    (void)dryRun;
    return cannotStart(console, "Restoring is not supported on this system yet.");
#else
    const platform::FolderFacts &folders = *platform::services().folders;
    // The backup folder is the first "Backup mm-dd-yyyy" on the way (or the
    // whole path when none is): the path is taken as named down to it, and
    // nothing below it is reached through a link.
    std::error_code ec;
    const fs::path given = fs::absolute(fs::path(backupArgument), ec).lexically_normal();
    static const std::regex backupName("Backup \\d\\d-\\d\\d-\\d\\d\\d\\d");
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
        found = found || std::regex_match(part.string(), backupName);
    }
    if (!found) {
        top = given;
        below.clear();
    }
    const std::string backupRoot = folders.canonicalFolder(top.string());
    if (backupRoot.empty())
        return cannotStart(console, "The backup '" + backupArgument + "' does not exist or is not a folder.");
    const std::string target = folders.canonicalFolder(targetArgument);
    if (target.empty())
        return cannotStart(console, "The target '" + targetArgument + "' does not exist or is not a folder.");
    if (within(target, backupRoot))
        return cannotStart(console, "The target '" + targetArgument + "' lies inside the backup '" + backupRoot +
                                        "': a restore never writes into a backup.");
    if (within(backupRoot, target))
        return cannotStart(console, "The backup '" + backupRoot + "' lies inside the target '" + targetArgument +
                                        "': the restore would copy into what it reads.");

    std::string item = backupRoot;
    for (const fs::path &part : below) {
        if (part == "..")
            return cannotStart(console, "The backup path '" + backupArgument + "' leaves the backup folder.");
        item += separator + part.string();
    }
    const bool whole = item == backupRoot;
    const fs::file_status status = fs::symlink_status(fs::path(item), ec);
    if (ec || !fs::exists(status))
        return cannotStart(console, "There is no '" + item + "' in the backup.");
    const bool folder = fs::is_directory(status);

    engine::Params params;
    params.source = item;
    params.sourceRoot = backupRoot;
    params.targetRoot = target;
    params.target = whole || !folder ? target : target + separator + fs::path(item).filename().string();
    params.skipUnchanged = true;
    params.keepExisting = !overwrite;
    engine::CopyEngine &engine = *platform::services().copyEngine;
    backup::StopCopy = false;
    StopOnSignal stopOnSignal;

    if (dryRun) {
        const engine::RestorePlan plan = engine.planRestore(params, backup::StopCopy);
        if (!plan.failure.empty())
            return cannotStart(console, "Cannot plan the restore: " + plan.failure + ".");
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
        console.error("Kept, differs from the backup: " + path);
    for (const engine::ItemFailure &failure : result.failures)
        console.error("Not restored: " + failure.path + " (" + failure.operation + ": " + failure.reason + ")");
    if (result.destinationFailed)
        console.error("The target failed: " + result.destinationFailure.path + " (" +
                      result.destinationFailure.operation + ": " + result.destinationFailure.reason + ")");
    if (!result.notes.empty())
        console.error("The target could not keep everything of some items (owners, times, attributes or links).");
    if (result.ok())
        console.output("Done.");
    console.error("Restored " + std::to_string(result.files) + " files (" + std::to_string(result.bytes) +
                  " bytes), " + std::to_string(result.links) + " links, " + std::to_string(result.specials) +
                  " special files, " + std::to_string(result.folders) + " folders; " +
                  std::to_string(result.unchanged) + " already in place; " + std::to_string(kept.size()) +
                  " kept" + (kept.empty() ? "." : " (--overwrite replaces them)."));
    if (result.stopped)
        return ExitCode::stopped;
    if (result.destinationFailed)
        return ExitCode::destinationFailed;
    if (!result.failures.empty())
        return ExitCode::someNotCopied;
    return ExitCode::allCopied;
#endif
}

} // namespace drovanta::app
