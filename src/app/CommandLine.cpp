#include "app/CommandLine.h"

#include "app/Console.h"
#include "app/ConsoleCopyDisplay.h"
#include "app/ConsoleMessageBoxes.h"
#include "app/StopOnSignal.h"

#include "backup/Copier.h"
#include "backup/CopyDisplay.h"
#include "backup/RoomCheck.h"
#include "backup/RunLog.h"
#include "backup/RunReport.h"
#include "backup/StopCopy.h"
#include "backup/SyncDestination.h"

#include "drives/DriveRecord.h"

#include "shell/ErrorBox.h"

#include "platform/Application.h"
#include "platform/Clock.h"
#include "platform/DriveSource.h"
#include "platform/FolderFacts.h"
#include "platform/Services.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace drovanta::app {
namespace {

using platform::DriveType;

// Puts a service back as it was when the command line is done with it.
template<typename T>
class Restore final {
public:
    Restore(T &slot, T value) : m_slot(slot), m_saved(slot) { m_slot = value; }
    ~Restore() { m_slot = m_saved; }
    Restore(const Restore &) = delete;
    Restore &operator=(const Restore &) = delete;

private:
    T &m_slot;
    T m_saved;
};

class CopyDisplayInstalled final {
public:
    explicit CopyDisplayInstalled(backup::CopyDisplay &display) { backup::setCopyDisplay(&display); }
    ~CopyDisplayInstalled() { backup::setCopyDisplay(nullptr); }
    CopyDisplayInstalled(const CopyDisplayInstalled &) = delete;
    CopyDisplayInstalled &operator=(const CopyDisplayInstalled &) = delete;
};

int refuse(const std::string &text)
{
    shell::showMessage(text);
    return ExitCode::refused;
}

// A drive's root as the messages show it. On Linux a path is a byte string
// that need not be UTF-8, so it never takes a detour through QString there.
std::string rootText(const std::string &path)
{
#ifdef _WIN32
    return drives::rootPath(QString::fromStdString(path)).toStdString();
#else
    return path.ends_with('/') ? path : path + '/';
#endif
}

// The positional arguments as the system passed them. Qt's list holds them
// decoded as UTF-8, where a byte that is no UTF-8 becomes U+FFFD, so a path
// with such a byte would name another file (or none). Each positional
// argument is matched, in order, to the raw argument that decodes to it. On
// Windows Qt's list comes from the wide command line and is exact.
std::vector<std::string> positionalBytes(int argc, char *argv[], const QStringList &positionals)
{
    std::vector<std::string> bytes;
#ifndef _WIN32
    int next = 1;
    for (const QString &positional : positionals) {
        while (next < argc && QString::fromLocal8Bit(argv[next]) != positional)
            ++next;
        if (next >= argc)
            break;
        bytes.emplace_back(argv[next++]);
    }
    if (bytes.size() == static_cast<std::size_t>(positionals.size()))
        return bytes;
    bytes.clear();
#else
    (void)argc;
    (void)argv;
#endif
    for (const QString &positional : positionals)
        bytes.push_back(positional.toStdString());
    return bytes;
}

// The drive list's name of a drive, or nothing for a drive the lists leave
// out: the window lists ready removable, fixed and CD drives, and calls an
// unlabelled removable or fixed drive "Local Disk".
std::optional<QString> listedName(const platform::Drive &drive)
{
    if (!drive.isReady())
        return std::nullopt;
    const DriveType type = drive.type();
    const QString label = QString::fromStdString(drive.volumeName());
    if (type == DriveType::CdRom)
        return label;
    if (type == DriveType::Fixed || type == DriveType::Removable)
        return label.isEmpty() ? drives::localDiskName : label;
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
            const std::optional<QString> name = listedName(*drive);
            if (!name)
                continue;
            const QString letter = QString::fromStdString(drive->letter());
            const QString line = drives::entryText(*name, letter) + QLatin1Char('\t') + drives::rootPath(letter) +
                QLatin1Char('\t') + QString::number(drive->availableSpace());
            console.output(line.toStdString());
        } catch (...) {
            // One drive that cannot be read (a disc ejected meanwhile) leaves
            // the others listed.
            console.error("Cannot read the drive: " + shell::currentFailureDescription());
            result = ExitCode::someNotCopied;
        }
    }
    return result;
}

// A whole drive needs its used bytes, as in the window; any other folder the
// bytes of what it holds.
std::uint64_t roomNeeded(const std::string &source)
{
    const auto &services = platform::services();
    if (services.folders->isFilesystemRoot(source)) {
        for (const auto &drive : services.drives->drives()) {
            const std::string letter = drive->letter();
            if (services.folders->canonicalFolder(rootText(letter)) == source)
                return backup::roomNeededForDrive(letter);
        }
    }
    return services.folders->contentBytes(source);
}

// "Done." on the output stream; what went wrong, what the destination could
// not keep and what is not copied by design on the error stream.
void printReport(Console &console, const backup::RunReport &report)
{
    static const std::string done = "Done.";
    std::string closing = report.closingText();
    if (closing.starts_with(done))
        closing.erase(0, done.size());
    const auto text = closing.find_first_not_of('\n');
    console.output(done);
    if (text != std::string::npos)
        console.error(closing.substr(text));
    // A run with nothing to tell keeps the log short; otherwise the details
    // end with where the run is recorded.
    if (!report.failureLines().empty())
        console.error(report.detailsText());
}

int runBackup(const std::string &sourceArgument, const std::string &destinationArgument, bool quiet, bool full,
              Console &console, ConsoleMessageBoxes &boxes)
{
    const auto started = std::chrono::steady_clock::now();
    const auto &services = platform::services();
    const platform::FolderFacts &folders = *services.folders;

    const std::string source = folders.canonicalFolder(sourceArgument);
    if (source.empty())
        return refuse("The source '" + sourceArgument + "' does not exist or is not a folder.");
    const std::string destination = folders.canonicalFolder(destinationArgument);
    if (destination.empty())
        return refuse("The destination '" + destinationArgument + "' does not exist or is not a folder.");

    const std::string sourceRoot = rootText(source);
    const std::string destinationRoot = rootText(destination);
    const std::string backupFolder =
        destinationRoot + "Backup " + drives::dateText(services.clock->today()).toStdString();
    std::uint64_t sourceBytes = 0;
    try {
        // A folder where a drive belongs while none is mounted there lies on
        // another drive, usually the system disk: a scheduled backup whose
        // drive is unplugged would fill that, or copy an empty folder.
        if (services.drives->awaitsMount(source))
            return refuse("The source '" + sourceArgument + "' is not mounted: its drive is unplugged or not mounted.");
        if (services.drives->awaitsMount(destination))
            return refuse("The destination '" + destinationArgument +
                          "' is not mounted: its drive is unplugged or not mounted.");
        // A destination inside the source would be copied into itself.
        if (folders.backupReaches(source, destination))
            return refuse("Source must not be the same as destination.");
        // Nothing on the source's filesystem holds more than its used bytes:
        // when those fit, the source's own count (a walk of the whole tree)
        // is needed only as the 100 % of a progress line on a terminal.
        const std::uint64_t available = folders.availableBytes(destination);
        if ((!quiet && console.errorsAreTerminal()) || available < folders.usedBytes(source)) {
            sourceBytes = roomNeeded(source);
            // Files unchanged since an earlier backup take no room: only what
            // must be written has to fit.
            if (available < sourceBytes && !full) {
                if (const auto toWrite = backup::roomNeededWithEarlierBackup(sourceRoot, backupFolder))
                    sourceBytes = *toWrite;
            }
            if (available < sourceBytes)
                return refuse(backup::noRoomMessage(destinationRoot, sourceRoot));
        }
    } catch (...) {
        return refuse("Cannot check the source and the destination: " + shell::currentFailureDescription());
    }

    ConsoleCopyDisplay display(console, quiet);
    CopyDisplayInstalled installed(display);
    backup::StopCopy = false;
    StopOnSignal stopOnSignal;
    backup::RunReport report;
    report.setExpectedBytes(sourceBytes);
    const int boxesBefore = boxes.shown();
    const auto startedAt = std::chrono::system_clock::now();
    {
        const auto awake = backup::keepAwake("Backing up " + sourceRoot);
        backup::Copy::FS_CopyXToY(sourceRoot, backupFolder, full);
        if (report.refused())
            return ExitCode::refused; // the copier has said why
        backup::syncDestination(backupFolder, report);
    }
    backup::recordRun(report, sourceRoot, backupFolder, startedAt);
    const int failedSteps = boxes.shown() - boxesBefore;

    printReport(console, report);
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - started;
    console.error(report.summaryText(elapsed.count()));
    if (StopOnSignal::received() != 0) {
        console.error("The backup was stopped before everything was copied.");
        return ExitCode::stopped;
    }
    if (report.destinationFailed())
        return ExitCode::destinationFailed;
    if (!report.allCopied())
        return ExitCode::someNotCopied;
    if (failedSteps > 0) {
        console.error("Some steps of the backup failed; the messages above name them.");
        return ExitCode::someNotCopied;
    }
    return ExitCode::allCopied;
}

int usageError(Console &console, const QCommandLineParser &parser, const QString &problem)
{
    console.error(QCoreApplication::applicationName().toStdString() + ": " + problem.toStdString());
    console.error(parser.helpText().toStdString());
    return ExitCode::usage;
}

} // namespace

int runCommandLine(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("drovanta"));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(DROVANTA_VERSION));

    Console &console = Console::standard();
    auto &services = platform::services();
    ConsoleMessageBoxes boxes(console, *services.application);
    Restore<platform::MessageBoxes *> boxesInstalled(services.messageBoxes, &boxes);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Backs up a whole drive (or folder) into \"Backup mm-dd-yyyy\" on another drive (or folder).\n"
        "\n"
        "  drovanta --backup [--full] SOURCE DESTINATION\n"
        "  drovanta --list\n"
        "\n"
        "Without arguments, or with Qt's own options only (-style, -platform...), the window opens.\n"
        "\n"
        "Exit codes: 0 everything copied, 1 some items could not be copied, 2 refused before copying,\n"
        "3 the destination failed, 64 wrong arguments, 130 when stopped by Ctrl-C or SIGTERM."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption helpAll(QStringLiteral("help-all"));
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption list(QStringLiteral("list"),
                                  QStringLiteral("Lists the drives: entry, root and available bytes, tab-separated."));
    const QCommandLineOption backup(QStringLiteral("backup"),
                                    QStringLiteral("Backs up SOURCE into \"Backup mm-dd-yyyy\" in DESTINATION."));
    const QCommandLineOption quiet(QStringList{QStringLiteral("q"), QStringLiteral("quiet")},
                                   QStringLiteral("With --backup: no progress, only problems and the summary."));
    const QCommandLineOption full(QStringLiteral("full"),
                                  QStringLiteral("With --backup: copy every file, sharing none with an earlier backup."));
    parser.addOption(list);
    parser.addOption(backup);
    parser.addOption(quiet);
    parser.addOption(full);
    parser.addPositionalArgument(QStringLiteral("SOURCE"), QStringLiteral("A drive root or folder to back up."),
                                 QStringLiteral("[SOURCE"));
    parser.addPositionalArgument(QStringLiteral("DESTINATION"),
                                 QStringLiteral("A drive root or folder that receives the backup."),
                                 QStringLiteral("DESTINATION]"));

    if (!parser.parse(QCoreApplication::arguments()))
        return usageError(console, parser, parser.errorText());
    if (parser.isSet(help) || parser.isSet(helpAll)) {
        console.output(parser.helpText().toStdString());
        return ExitCode::allCopied;
    }
    if (parser.isSet(version)) {
        const QString name = QCoreApplication::applicationName() + QLatin1Char(' ') +
            QCoreApplication::applicationVersion();
        console.output(name.toStdString());
        return ExitCode::allCopied;
    }

    const QStringList arguments = parser.positionalArguments();
    if (parser.isSet(list) && parser.isSet(backup))
        return usageError(console, parser, QStringLiteral("--list and --backup cannot be combined."));
    if (parser.isSet(list)) {
        if (!arguments.isEmpty())
            return usageError(console, parser, QStringLiteral("--list takes no arguments."));
        return listDrives(console);
    }
    if (parser.isSet(backup)) {
        if (arguments.size() != 2)
            return usageError(console, parser, QStringLiteral("--backup needs a SOURCE and a DESTINATION."));
        const std::vector<std::string> paths = positionalBytes(argc, argv, arguments);
        return runBackup(paths.at(0), paths.at(1), parser.isSet(quiet), parser.isSet(full), console, boxes);
    }
    return usageError(console, parser, QStringLiteral("Nothing to do: give --list or --backup."));
}

} // namespace drovanta::app
