#include "cli/CommandLine.h"

#include "cli/Arguments.h"
#include "cli/CheckCommands.h"
#include "cli/Console.h"
#include "cli/ConsoleCopyDisplay.h"
#include "cli/StopOnSignal.h"

#include "core/backup/BackupRun.h"
#include "core/backup/CopyDisplay.h"
#include "core/backup/MakeRoom.h"
#include "core/backup/RoomCheck.h"
#include "core/backup/RunProgress.h"
#include "core/backup/RunLog.h"
#include "core/backup/RunReport.h"
#include "core/backup/StopCopy.h"
#include "core/drives/DriveRecord.h"
#include "core/shell/ErrorBox.h"

#include "platform/Application.h"
#include "platform/Clock.h"
#include "platform/DriveSource.h"
#include "platform/FileOperations.h"
#include "platform/FolderFacts.h"
#include "platform/Services.h"

#include "DrovantaVersion.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace drovanta::app {
namespace {

using platform::DriveType;

// Says why the run does not start, and records the refusal in the run log.
int refuse(const std::string &text, const std::string &source, const std::string &destination)
{
    shell::showMessage(text);
    backup::recordRefusal(source, destination, text);
    return ExitCode::refused;
}

// A drive's root or a folder as the messages show it, with its separator at
// the end.
std::string rootText(const std::string &path)
{
#ifdef _WIN32
    return path.ends_with('\\') || path.ends_with('/') ? path : path + '\\';
#else
    return path.ends_with('/') ? path : path + '/';
#endif
}

// The drive list's name of a drive, or nothing for a drive the lists leave
// out: the window lists ready removable, fixed and CD drives, and calls an
// unlabelled removable or fixed drive "Local Disk".
std::optional<std::string> listedName(const platform::Drive &drive)
{
    if (!drive.isReady())
        return std::nullopt;
    const DriveType type = drive.type();
    const std::string label = drive.volumeName();
    if (type == DriveType::CdRom)
        return label;
    if (type == DriveType::Fixed || type == DriveType::Removable)
        return label.empty() ? std::string(drives::localDiskName) : label;
    return std::nullopt;
}

int listDrives(Console &console)
{
    std::vector<std::unique_ptr<platform::Drive>> drives;
    try {
        drives = platform::services().drives->drives();
    } catch (...) {
        console.error("Cannot list the drives: " + shell::currentFailureDescription());
        return ExitCode::someNotCopied;
    }
    int result = ExitCode::allCopied;
    for (const auto &drive : drives) {
        try {
            const std::optional<std::string> name = listedName(*drive);
            if (!name)
                continue;
            const std::string letter = drive->letter();
            console.output(drives::entryText(*name, letter) + '\t' + drives::rootPath(letter) + '\t' +
                           std::to_string(drive->availableSpace()));
        } catch (...) {
            // One drive that cannot be read (a disc ejected meanwhile) leaves
            // the others listed.
            console.error("Cannot read the drive: " + shell::currentFailureDescription());
            result = ExitCode::someNotCopied;
        }
    }
    return result;
}

// A whole drive needs its used bytes, as in the window; any other folder
// what a full copy of it into `backupFolder` writes, as the engine measures it.
std::uint64_t roomNeeded(const std::string &source, const std::string &backupFolder)
{
    const auto &services = platform::services();
    if (services.folders->isFilesystemRoot(source)) {
        for (const auto &drive : services.drives->drives()) {
            const std::string letter = drive->letter();
            if (services.folders->canonicalFolder(drives::rootPath(letter)) == source)
                return backup::roomNeededForDrive(letter);
        }
    }
    return backup::roomNeededToWrite(rootText(source), backupFolder, {}, backup::StopCopy).value_or(0);
}

// "Done." on the output stream only for a run that copied everything, so
// that a script may take it as success; what went wrong, what the destination
// could not keep and what is not copied by design on the error stream.
void printReport(Console &console, const backup::RunReport &report)
{
    static const std::string done = "Done.";
    std::string closing = report.closingText();
    if (closing.starts_with(done))
        closing.erase(0, done.size());
    const auto text = closing.find_first_not_of('\n');
    if (exitCodeOf(report) == ExitCode::allCopied)
        console.output(done);
    if (text != std::string::npos)
        console.error(closing.substr(text));
    // A run with nothing to tell keeps the log short; otherwise the details
    // end with where the run is recorded.
    if (!report.failureLines().empty())
        console.error(report.detailsText());
    else if (const std::string problem = report.logProblem(); !problem.empty()) // the details say it otherwise
        console.error("This run could not be recorded: " + problem);
}

// The old backups that thinning removes after today's backup, with what each
// frees, in the order they go.
std::vector<backup::RemovedBackup> thinning(const std::string &destination, std::chrono::year_month_day today,
                                            const Arguments &arguments)
{
    return backup::thinning(destination, today, std::max(arguments.keepDaily, 0), std::max(arguments.keepWeekly, 0),
                            std::max(arguments.keepMonthly, 0));
}

// Removes old backups, saying each on the error stream; returns those gone.
std::vector<backup::RemovedBackup> removeOldBackups(const std::string &destination,
                                                    const std::vector<backup::RemovedBackup> &backups,
                                                    const std::string &why, Console &console)
{
    const backup::Removals done = backup::removeBackups(destination, backups);
    for (const auto &removed : done.removed)
        console.error("Removed " + removed.name + " " + why + " (" + backup::byteSizeText(removed.freed) + " freed)");
    for (const auto &problem : done.problems)
        console.error(problem);
    return done.removed;
}

int runBackup(const Arguments &arguments, Console &console)
{
    const std::string &sourceArgument = arguments.positionals[0];
    const std::string &destinationArgument = arguments.positionals[1];
    const bool quiet = arguments.quiet;
    const bool full = arguments.full;
    const auto started = std::chrono::steady_clock::now();
    const auto &services = platform::services();
    const platform::FolderFacts &folders = *services.folders;

    const std::string source = folders.canonicalFolder(sourceArgument);
    if (source.empty())
        return refuse("The source '" + sourceArgument + "' does not exist or is not a folder.", sourceArgument,
                      destinationArgument);
    const std::string destination = folders.canonicalFolder(destinationArgument);
    if (destination.empty())
        return refuse("The destination '" + destinationArgument + "' does not exist or is not a folder.", source,
                      destinationArgument);

    const std::string sourceRoot = rootText(source);
    const std::string destinationRoot = rootText(destination);
    const std::string backupFolder =
        destinationRoot + "Backup " + drives::dateText(services.clock->today());
    const std::chrono::year_month_day today = backup::calendarDate(services.clock->today());
    std::uint64_t sourceBytes = 0;
    std::vector<backup::RemovedBackup> removed;
    try {
        // A folder where a drive belongs while none is mounted there lies on
        // another drive, usually the system disk: a scheduled backup whose
        // drive is unplugged would fill that, or copy an empty folder.
        if (services.drives->awaitsMount(source))
            return refuse("The source '" + sourceArgument + "' is not mounted: its drive is unplugged or not mounted.",
                          sourceRoot, backupFolder);
        if (services.drives->awaitsMount(destination))
            return refuse("The destination '" + destinationArgument +
                          "' is not mounted: its drive is unplugged or not mounted.", sourceRoot, backupFolder);
        // A destination inside the source would be copied into itself.
        if (folders.backupReaches(source, destination))
            return refuse("Source must not be the same as destination.", sourceRoot, backupFolder);
        // Every item would fail on a destination the user cannot write to.
        if (const auto problem = services.files->writeProblem(backupFolder))
            return refuse(*problem, sourceRoot, backupFolder);
        // Nothing on the source's filesystem holds more than its used bytes:
        // when those fit, the source's own count (a walk of the whole tree)
        // is needed only as the 100 % of the progress lines.
        // A removal that an earlier run could not finish is finished first.
        if (!arguments.dryRun)
            backup::finishInterruptedRemovals(destination);
        std::uint64_t available = folders.availableBytes(destination);
        if (!quiet || available < folders.usedBytes(source)) {
            sourceBytes = roomNeeded(source, backupFolder);
            // Files unchanged since an earlier backup take no room: only what
            // must be written has to fit.
            if (available < sourceBytes && !full) {
                const auto toWrite = backup::roomNeededWithEarlierBackup(sourceRoot, backupFolder, backup::StopCopy);
                if (toWrite)
                    sourceBytes = *toWrite;
            }
            if (available < sourceBytes) {
                // The oldest backups may make the room, all or nothing; a
                // scheduled run must ask for that.
                const backup::RoomPlan plan = backup::planRoom(destination, today, sourceBytes, available);
                const std::string noRoom = backup::noRoomMessage(destinationRoot, sourceRoot);
                if (!plan.enough)
                    return refuse(noRoom, sourceRoot, backupFolder);
                if (!arguments.makeRoom)
                    return refuse(noRoom + "\nWith --make-room: " + backup::removalText(plan), sourceRoot,
                                  backupFolder);
                if (arguments.dryRun) {
                    for (const auto &backup : plan.removed)
                        console.output("Would remove " + backup.name + " to make room (" +
                                       backup::byteSizeText(backup.freed) + " freed)");
                } else {
                    removed = removeOldBackups(destination, plan.removed, "to make room", console);
                    // Some filesystems free the space of what was removed a little later.
                    for (int attempt = 0; attempt < 10 && available < sourceBytes; ++attempt) {
                        if (attempt > 0)
                            std::this_thread::sleep_for(std::chrono::milliseconds(200));
                        available = folders.availableBytes(destination);
                    }
                    if (available < sourceBytes)
                        return refuse(noRoom, sourceRoot, backupFolder);
                }
            }
        }
    } catch (...) {
        return refuse("Cannot check the source and the destination: " + shell::currentFailureDescription(),
                      sourceRoot, backupFolder);
    }

    if (arguments.dryRun) {
        if (arguments.thins()) {
            for (const auto &backup : thinning(destination, today, arguments))
                console.output("Would remove " + backup.name + " by thinning (" + backup::byteSizeText(backup.freed) +
                               " freed)");
        }
        return ExitCode::allCopied; // nothing removed, nothing copied
    }

    ConsoleCopyDisplay display(console, quiet);
    backup::StopCopy = false;
    StopOnSignal stopOnSignal;
    backup::BackupRequest request(sourceRoot, backupFolder, sourceBytes, full);
    request.removed = removed;
    if (arguments.thins()) {
        request.afterCopy = [&](backup::RunReport &runReport) {
            for (const auto &gone :
                 removeOldBackups(destination, thinning(destination, today, arguments), "by thinning", console))
                runReport.addRemoval(gone.name, gone.freed, "by thinning");
        };
    }
    backup::BackupRun run(std::move(request), display, *services.copyEngine);
    const backup::RunReport &report = run.run();
    if (report.refused())
        return exitCodeOf(report); // the copier has said why

    if (!report.recordProblem().empty())
        console.error("No fingerprint record was written for the backup: " + report.recordProblem() + ".");
    printReport(console, report);
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - started;
    console.error(report.summaryText(elapsed.count()));
    if (report.stopped())
        console.error("The backup was stopped before everything was copied.");
    else if (report.failedSteps() > 0)
        console.error("Some steps of the backup failed; the messages above name them.");
    return exitCodeOf(report);
}

const std::string programName = "drovanta";

// One line for the mistake and one pointing to the help: a scheduler mails
// every line, and the help's two dozen say nothing about what was wrong.
int usageError(Console &console, const std::string &problem)
{
    console.error(programName + ": " + problem);
    console.error("Try '" + programName + " --help' for more information.");
    return ExitCode::usage;
}

} // namespace

int exitCodeOf(const backup::RunReport &report)
{
    // The report's own, which the run log records for every run.
    return report.exitCode();
}

int runCommandLine(const std::vector<std::string> &argv, bool hasWindow)
{
    Console &console = Console::standard();

    Arguments arguments;
    const std::vector<std::string> given(argv.size() > 1 ? argv.begin() + 1 : argv.end(), argv.end());
    if (const auto problem = parseArguments(given, arguments))
        return usageError(console, *problem);
    if (const auto problem = combinationProblem(arguments))
        return usageError(console, *problem);
    if (arguments.help || arguments.helpAll) {
        console.output(helpText(programName, hasWindow));
        return ExitCode::allCopied;
    }
    if (arguments.version) {
        console.output(programName + " " DROVANTA_VERSION);
        return ExitCode::allCopied;
    }
    if (arguments.list)
        return listDrives(console);
    backup::setCommandLineOptions(given);
    if (arguments.verify)
        return runVerify(arguments.positionals[0], arguments.positionals[1], arguments.verifyFolder, console);
    if (arguments.check)
        return runCheck(arguments.positionals[0], arguments.verifyFolder, console);
    if (arguments.restore)
        return runRestore(arguments.positionals[0], arguments.positionals[1], arguments.overwrite,
                          arguments.dryRun, console);
    return runBackup(arguments, console);
}

int windowWithoutDisplay()
{
    Console::standard().error(programName + ": no display is available to open the window on; '" + programName +
                              " --help' shows the command line.");
    return ExitCode::usage;
}

} // namespace drovanta::app
