// The command line as scripts and schedulers use it: the real program on real
// folders, judged by its exit code, its two streams and the files it leaves.
#include "ProgramRun.h"

#include "LoopVolume.h"
#include "PosixTestSupport.h"

#include "platform/StdFileOperations.h"

#include "DrovantaVersion.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QString>
#include <QStringList>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <ostream>
#include <regex>
#include <sstream>
#include <thread>

namespace drovanta::cli::testing {
namespace {

namespace fs = std::filesystem;
using engine::testing::compareTrees;
using engine::testing::readFile;
using drovanta::testing::LoopVolume;
using engine::testing::TempFolder;
using engine::testing::temporaryFiles;
using engine::testing::writeFile;
using engine::testing::writeFileWithMode;

std::size_t filesUnder(const std::string &root)
{
    std::size_t count = 0;
    for (const auto &entry : fs::recursive_directory_iterator(root))
        if (entry.is_regular_file())
            ++count;
    return count;
}

std::size_t occurrences(const std::string &text, const std::string &part)
{
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
        ++count;
    return count;
}

class CommandLine : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::create_directory(m_source);
        fs::create_directory(m_destination);
    }

    Finished run(const std::vector<std::string> &arguments) { return runProgram(m_scratch.path(), arguments); }
    Finished backup() { return run({"--backup", m_source, m_destination}); }
    std::string backupFolder() const { return m_destination + "/" + todaysBackupName(); }

    TempFolder m_scratch;
    TempFolder m_work;
    const std::string m_source = m_work / "source";
    const std::string m_destination = m_work / "destination";
};

// --- a backup that works ---------------------------------------------------

TEST_F(CommandLine, ABackupCopiesEveryTreeByteForByteWithItsTimesIntoTodaysBackupFolder)
{
    engine::testing::makeRandomTree(m_source, 7);
    fs::create_directories(m_source + "/Photos/2021");
    writeFileWithMode(m_source + "/Photos/2021/beach.jpg", std::string(200'000, 'b'), 0644, 1'500'000'000, 5);
    writeFileWithMode(m_source + "/notes.txt", "root file", 0600, 1'400'000'000, 0);
    fs::create_symlink("notes.txt", m_source + "/notes-link");

    const Finished result = backup();

    EXPECT_EQ(result.exitCode, 0) << result.errors;
    EXPECT_TRUE(result.output.ends_with("Done.\n")) << result.output;
    EXPECT_EQ(compareTrees(m_source, backupFolder()), std::vector<std::string>{});
    EXPECT_EQ(temporaryFiles(backupFolder()), std::vector<std::string>{});
}

TEST_F(CommandLine, ASecondBackupOnTheSameDayMergesIntoTheFolderAndStillEndsWithZero)
{
    writeFileWithMode(m_source + "/notes.txt", "first", 0644, 1'400'000'000, 0);
    ASSERT_EQ(backup().exitCode, 0);
    writeFileWithMode(m_source + "/notes.txt", "second", 0644, 1'400'000'100, 0);

    const Finished again = backup();

    EXPECT_EQ(again.exitCode, 0) << again.errors;
    EXPECT_EQ(again.errors.find("Cannot create folder"), std::string::npos) << again.errors;
    EXPECT_EQ(compareTrees(m_source, backupFolder()), std::vector<std::string>{});
}

TEST_F(CommandLine, PathsThatAreNotUtf8ReachTheFilesystemByteForByteAndPrintEscaped)
{
    const std::string source = m_work / "caf\xe9";
    const std::string destination = m_work / "d\xff\xfe";
    fs::create_directory(source);
    fs::create_directory(destination);
    writeFileWithMode(source + "/r\xe9sum\xe9.txt", "cv", 0644, 1'400'000'000, 0);

    const Finished result = run({"--backup", source, destination});

    EXPECT_EQ(result.exitCode, 0) << result.errors;
    EXPECT_EQ(compareTrees(source, destination + "/" + todaysBackupName()), std::vector<std::string>{});
    const Finished missing = run({"--backup", m_work / "gone\xe9", destination});
    EXPECT_EQ(missing.exitCode, 2);
    EXPECT_NE(missing.errors.find("gone\\xE9"), std::string::npos) << missing.errors;
}

TEST_F(CommandLine, ProgressInALogIsOneStampedLinePerTopLevelItemWithTheShareOfTheBytesAsOnATerminal)
{
    fs::create_directory(m_source + "/Music");
    fs::create_directory(m_source + "/Photos");
    // Whole blocks, so that the room the files take (the 100 %) is their size.
    writeFile(m_source + "/a.txt", std::string(1 << 20, 'a'));
    writeFile(m_source + "/b.txt", std::string(1 << 20, 'b'));

    const Finished result = backup();

    ASSERT_EQ(result.exitCode, 0) << result.errors;
    EXPECT_EQ(result.output, "Done.\n");
    // Folders come first, in the system's order, then the root files; each
    // line tells the share of the bytes copied before its item.
    const std::string stamp = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d )";
    const std::regex whole(stamp + R"(\[  0%\] Copy folder (Music|Photos)\n)" +
                           stamp + R"(\[  0%\] Copy folder (Music|Photos)\n)" +
                           stamp + R"(\[  0%\] Copy file [ab]\.txt\n)" +
                           stamp + R"(\[ 50%\] Copy file [ab]\.txt\n)" +
                           R"(Summary: 2 files \(2\.1 MB\) copied, 0 files already up to date, 2 folders, 0 links, )"
                           R"(in 0 s; 0 items failed; 0 items not copied by design\.\n)");
    EXPECT_TRUE(std::regex_match(result.errors, whole)) << result.errors;

    const std::string elsewhere = m_work / "quiet";
    fs::create_directory(elsewhere);
    const Finished quiet = run({"--quiet", "--backup", m_source, elsewhere});
    ASSERT_EQ(quiet.exitCode, 0) << quiet.errors;
    EXPECT_TRUE(quiet.errors.starts_with("Summary: ")) << quiet.errors;
    EXPECT_EQ(occurrences(quiet.errors, "\n"), 1u) << quiet.errors;
}

TEST_F(CommandLine, OnANarrowTerminalEveryProgressRedrawStaysOnItsOneLine)
{
    constexpr unsigned short columns = 60;
    // Names longer than the terminal is wide, and a folder of many files
    // that takes long enough for redraws with the speed and the time left.
    for (int i = 0; i < 30; ++i)
        writeFile(m_source + "/holiday-photos-from-the-summer-of-2019-in-portugal-and-spain-" + std::to_string(i) +
                      ".jpg",
                  std::string(20'000, 'p'));
    const std::string many = m_source + "/a-folder-with-a-great-many-small-files-that-take-a-while";
    fs::create_directory(many);
    for (int i = 0; i < 1500; ++i)
        writeFile(many + "/file" + std::to_string(i), std::string(2000, 'f'));

    const Finished result = runOnTerminal(m_scratch.path(), {"--backup", m_source, m_destination}, columns);

    ASSERT_EQ(result.exitCode, 0) << result.errors;
    EXPECT_EQ(result.output, "Done.\n");
    // Every redraw returns to the line's start, writes the line and erases
    // what a longer one left; only the end of the progress starts a new line,
    // and the summary is all that follows.
    const auto progressEnd = result.errors.find('\n');
    ASSERT_NE(progressEnd, std::string::npos) << result.errors;
    const std::string progress = result.errors.substr(0, progressEnd);
    const std::string rest = result.errors.substr(progressEnd + 1);
    EXPECT_TRUE(rest.starts_with("Summary: ") && rest.find('\n') == rest.size() - 1) << rest;
    ASSERT_TRUE(progress.starts_with('\r')) << progress;
    std::size_t redraws = 0;
    std::size_t cutNames = 0;
    for (std::size_t at = 1; at <= progress.size();) {
        const std::size_t end = std::min(progress.find('\r', at), progress.size());
        const std::string redraw = progress.substr(at, end - at);
        at = end + 1;
        ++redraws;
        ASSERT_TRUE(redraw.ends_with("\x1b[K")) << redraw;
        const std::string line = redraw.substr(0, redraw.size() - 3);
        // All ASCII here, so a byte is a column. The last column stays free:
        // a terminal that wraps on filling it would leave a line behind.
        EXPECT_LT(line.size(), columns) << line;
        EXPECT_TRUE(line.starts_with("[")) << line;
        if (line.find("...") != std::string::npos)
            ++cutNames;
    }
    EXPECT_GT(redraws, 30u);
    EXPECT_GT(cutNames, 0u) << progress;
}

// --- refused before copying ------------------------------------------------

TEST_F(CommandLine, TheSameFolderAsSourceAndDestinationIsRefusedEvenWhenSpelledDifferently)
{
    fs::create_directory_symlink(m_source, m_work / "alias");
    for (const std::string &destination : {m_source, m_work / "alias", m_source + "/./"}) {
        const Finished result = run({"--backup", m_source, destination});

        EXPECT_EQ(result.exitCode, 2) << destination;
        // The whole stream: the refusal alone, nothing of the toolkit's before it.
        EXPECT_EQ(result.errors, "drovanta: Source must not be the same as destination.\n");
        EXPECT_EQ(result.output, "");
    }
    EXPECT_TRUE(fs::is_empty(m_source));
}

TEST_F(CommandLine, ADestinationInsideTheSourceIsRefusedSinceTheBackupWouldCopyItself)
{
    fs::create_directories(m_source + "/Archive/Backups");
    const Finished result = run({"--backup", m_source, m_source + "/Archive/Backups"});

    EXPECT_EQ(result.exitCode, 2);
    EXPECT_NE(result.errors.find("Source must not be the same as destination."), std::string::npos) << result.errors;
    EXPECT_TRUE(fs::is_empty(m_source + "/Archive/Backups"));
}

TEST_F(CommandLine, AMissingSourceOrDestinationIsRefusedAndNamed)
{
    const std::string missing = m_work / "no-such-folder";

    const Finished noSource = run({"--backup", missing, m_destination});
    EXPECT_EQ(noSource.exitCode, 2);
    EXPECT_EQ(noSource.errors, "drovanta: The source '" + missing + "' does not exist or is not a folder.\n");
    EXPECT_TRUE(fs::is_empty(m_destination));

    const Finished noDestination = run({"--backup", m_source, missing});
    EXPECT_EQ(noDestination.exitCode, 2);
    EXPECT_EQ(noDestination.errors, "drovanta: The destination '" + missing + "' does not exist or is not a folder.\n");
    EXPECT_FALSE(fs::exists(missing));
}

TEST_F(CommandLine, ADestinationWithLessRoomThanTheSourceHoldsIsRefusedWithTheWindowsMessage)
{
    LoopVolume small(4);
    if (!small.mounted())
        GTEST_SKIP() << "a small destination needs a loop-mounted volume: " << small.error();
    writeFile(m_source + "/big.bin", std::string(6 << 20, 'x'));

    const Finished result = run({"--backup", m_source, small.path()});

    EXPECT_EQ(result.exitCode, 2);
    const std::string message = "There is no enough room on " + small.path() + "/ to backup the entire " + m_source +
        "/ drive. Please make some room on " + small.path() + "/ or select a larger 'Destination' drive.";
    EXPECT_NE(result.errors.find(message), std::string::npos) << result.errors;
    EXPECT_FALSE(fs::exists(small.path() + "/" + todaysBackupName()));
}

TEST_F(CommandLine, MntItselfWithNothingMountedIsRefusedAsNotMounted)
{
    struct stat root {}, mnt {};
    if (::stat("/", &root) != 0 || ::stat("/mnt", &mnt) != 0 || root.st_dev != mnt.st_dev)
        GTEST_SKIP() << "a filesystem is mounted at /mnt here, or there is no /mnt";
    writeFile(m_source + "/notes.txt", "notes");

    const Finished result = run({"--backup", m_source, "/mnt"});

    EXPECT_EQ(result.exitCode, 2) << result.errors;
    EXPECT_NE(result.errors.find("The destination '/mnt' is not mounted"), std::string::npos) << result.errors;
    EXPECT_FALSE(fs::exists("/mnt/" + todaysBackupName()));
}

TEST_F(CommandLine, ADestinationBelowMntOnTheSystemDiskIsRefusedAsNotMounted)
{
    // A drive's mount point without its drive: a folder on the root filesystem.
    const std::string mountPoint = "/mnt/drovanta-test-" + std::to_string(::getpid()) + "/Archive";
    std::error_code ec;
    fs::create_directories(mountPoint, ec);
    if (ec)
        GTEST_SKIP() << "cannot create " << mountPoint << ": " << ec.message();
    struct stat root {}, mnt {};
    const bool onRoot = ::stat("/", &root) == 0 && ::stat(mountPoint.c_str(), &mnt) == 0 && root.st_dev == mnt.st_dev;
    writeFile(m_source + "/notes.txt", "notes");

    const Finished result = onRoot ? run({"--backup", m_source, mountPoint}) : Finished{};
    const bool leftEmpty = fs::is_empty(mountPoint);
    fs::remove_all(fs::path(mountPoint).parent_path(), ec);
    if (!onRoot)
        GTEST_SKIP() << "/mnt is not on the root filesystem here";

    EXPECT_EQ(result.exitCode, 2);
    EXPECT_NE(result.errors.find("The destination '" + mountPoint + "' is not mounted"), std::string::npos)
        << result.errors;
    EXPECT_TRUE(leftEmpty);
}

// --- items that fail during the run ------------------------------------------

TEST_F(CommandLine, AFileThatCannotBeReadIsNamedAndTheRunEndsWithOne)
{
    if (::geteuid() == 0)
        GTEST_SKIP() << "root reads files whatever their mode, and the engine's fault injection is not reachable "
                        "from outside the process";
    fs::create_directory(m_source + "/Docs");
    writeFileWithMode(m_source + "/Docs/secret.txt", "secret", 0000);
    writeFile(m_source + "/Docs/open.txt", "open");

    const Finished result = backup();

    EXPECT_EQ(result.exitCode, 1) << result.errors;
    EXPECT_EQ(result.output, "");
    EXPECT_NE(result.errors.find(m_source + "/Docs/secret.txt"), std::string::npos) << result.errors;
    EXPECT_EQ(engine::testing::readFile(backupFolder() + "/Docs/open.txt"), "open");
}

TEST_F(CommandLine, AnItemTheDestinationCannotTakeIsNamedAndTheRunEndsWithOneWithoutSayingDone)
{
    fs::create_directory(m_source + "/Docs");
    writeFile(m_source + "/Docs/report.txt", "report");
    writeFile(m_source + "/Docs/other.txt", "other");
    // An earlier backup of today holds a folder where the file now goes.
    fs::create_directories(backupFolder() + "/Docs/report.txt/kept");

    const Finished result = backup();

    EXPECT_EQ(result.exitCode, 1) << result.errors;
    // "Done." tells a script that everything was copied; the failure and the
    // summary go to stderr.
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(result.errors.find("Done."), std::string::npos) << result.errors;
    EXPECT_NE(result.errors.find("1 file or folder could not be copied."), std::string::npos) << result.errors;
    EXPECT_NE(result.errors.find("Docs/report.txt"), std::string::npos) << result.errors;
    EXPECT_NE(result.errors.find("\nSummary: 1 file (5 bytes) copied, "), std::string::npos) << result.errors;
    EXPECT_EQ(engine::testing::readFile(backupFolder() + "/Docs/other.txt"), "other");
}

// Whether the destination already holds today's backup folder: a new one
// cannot be created, an existing one cannot take a new item.
struct Unwritable {
    const char *name;
    bool folderExists;
};

void PrintTo(const Unwritable &unwritable, std::ostream *out)
{
    *out << unwritable.name;
}

class UnwritableDestination : public CommandLine, public ::testing::WithParamInterface<Unwritable> {};

TEST_P(UnwritableDestination, IsRefusedBeforeAnythingStartsInOneLineWithTheSystemsReasonAndTwo)
{
    // An ordinary user meets a folder without write permission; root writes
    // there anyway and needs a read-only filesystem.
    std::optional<LoopVolume> volume;
    std::string destination = m_destination;
    std::string reason = "Permission denied";
    if (::geteuid() == 0) {
        volume.emplace(8);
        if (!volume->mounted())
            GTEST_SKIP() << "root needs a read-only loop-mounted volume: " << volume->error();
        destination = volume->path();
        reason = "Read-only file system";
    }
    writeFile(m_source + "/notes.txt", "notes");
    const std::string folder = destination + "/" + todaysBackupName();
    if (GetParam().folderExists)
        fs::create_directory(folder);
    if (volume)
        ASSERT_EQ(::mount(nullptr, destination.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0)
            << std::strerror(errno);
    else
        fs::permissions(destination, fs::perms::owner_write, fs::perm_options::remove);

    const Finished result = run({"--backup", m_source, destination});
    if (!volume)
        fs::permissions(destination, fs::perms::owner_write, fs::perm_options::add);

    EXPECT_EQ(result.exitCode, 2);
    const std::string failed = GetParam().folderExists ? "Cannot write into folder '" : "Cannot create folder '";
    EXPECT_EQ(result.errors, "drovanta: " + failed + folder + "': " + reason + "\n");
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(fs::exists(folder), GetParam().folderExists);
}

INSTANTIATE_TEST_SUITE_P(CommandLine, UnwritableDestination,
                         ::testing::Values(Unwritable{"NewBackupFolder", false},
                                           Unwritable{"TodaysBackupFolder", true}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(CommandLine, ADrivePulledMidRunFailsTheDestinationAndNothingLandsUnderItsMountPoint)
{
    LoopVolume volume(256);
    if (!volume.mounted())
        GTEST_SKIP() << "pulling a drive needs a loop-mounted volume: " << volume.error();
    const std::string block(4 << 20, 'x');
    for (int i = 0; i < 40; ++i)
        writeFile(m_source + "/file" + std::to_string(i) + ".bin", block);
    // Its lock is taken once the backup folder is open: the drive goes while
    // the run holds the folder, not between its making and its opening.
    const std::string lock = volume.path() + "/.drovanta/" + todaysBackupName() + ".lock";

    ProgramRun program(m_scratch.path(), {"--backup", m_source, volume.path()});
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!fs::exists(lock) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    ASSERT_TRUE(program.pause()) << "the run ended before the drive could be pulled";
    ASSERT_TRUE(volume.detach());
    program.sendSignal(SIGCONT);
    const int code = program.wait();

    EXPECT_EQ(code, 3) << program.errors();
    EXPECT_NE(program.errors().find("destination failed"), std::string::npos) << program.errors();
    EXPECT_TRUE(fs::is_empty(volume.path())) << "the run wrote onto the disk beneath the mount point";
    std::ifstream log(m_scratch.path() + "/home/.local/state/drovanta/runs.log");
    const std::string logged((std::istreambuf_iterator<char>(log)), {});
    EXPECT_NE(logged.find("\nEnded: the destination failed\n"), std::string::npos) << logged;
}

TEST_F(CommandLine, AFullDestinationNamesWhatMakeRoomWouldRemoveAndMakeRoomRemovesJustTheOldest)
{
    LoopVolume volume(32);
    if (!volume.mounted())
        GTEST_SKIP() << "a full destination needs a loop-mounted volume: " << volume.error();
    // Four days of backups: a file of each day's own, and one they all share.
    for (int day = 1; day <= 4; ++day) {
        const std::string old = volume.path() + "/Backup 11-0" + std::to_string(day) + "-2026";
        fs::create_directory(old);
        writeFile(old + "/old.bin", engine::testing::randomBytes(5 << 20, static_cast<unsigned>(day)));
        if (day == 1)
            writeFile(old + "/shared.bin", engine::testing::randomBytes(1 << 20, 5));
        else
            fs::create_hard_link(volume.path() + "/Backup 11-01-2026/shared.bin", old + "/shared.bin");
    }
    const auto snapshot = [&] {
        std::string facts;
        for (int day = 2; day <= 4; ++day) {
            for (const char *name : {"/old.bin", "/shared.bin"}) {
                const std::string path = volume.path() + "/Backup 11-0" + std::to_string(day) + "-2026" + name;
                struct stat info {};
                if (::stat(path.c_str(), &info) != 0)
                    return std::string("missing ") + path;
                facts += path + " " + std::to_string(info.st_mode) + " " + std::to_string(info.st_mtim.tv_sec) + " " +
                    std::to_string(info.st_size) + " " + std::to_string(std::hash<std::string>{}(readFile(path))) + "\n";
            }
        }
        return facts;
    };
    const std::string before = snapshot();
    // Two megabytes more than there is room for: the oldest backup's five make it fit.
    struct statvfs space {};
    ASSERT_EQ(::statvfs(volume.path().c_str(), &space), 0);
    const std::size_t available = static_cast<std::size_t>(space.f_bavail) * space.f_frsize;
    writeFile(m_source + "/new.bin", engine::testing::randomBytes(available + (2 << 20), 9));
    const std::string oldest = volume.path() + "/Backup 11-01-2026";

    const Finished refused = run({"--backup", m_source, volume.path()});
    const Finished dryRun = run({"--backup", "--make-room", "--dry-run", m_source, volume.path()});
    ASSERT_TRUE(fs::exists(oldest + "/old.bin")) << "a dry run removes nothing";
    const Finished madeRoom = run({"--backup", "--make-room", m_source, volume.path()});

    EXPECT_EQ(refused.exitCode, 2) << refused.errors;
    EXPECT_NE(refused.errors.find("With --make-room: Removing the oldest backup (Backup 11-01-2026) frees "),
              std::string::npos)
        << refused.errors;
    EXPECT_EQ(dryRun.exitCode, 0) << dryRun.errors;
    EXPECT_EQ(dryRun.output.rfind("Would remove Backup 11-01-2026 to make room (", 0), 0u) << dryRun.output;
    EXPECT_EQ(madeRoom.exitCode, 0) << madeRoom.errors;
    EXPECT_NE(madeRoom.errors.find("Removed Backup 11-01-2026 to make room ("), std::string::npos) << madeRoom.errors;
    EXPECT_FALSE(fs::exists(oldest));
    EXPECT_EQ(snapshot(), before) << "the remaining backups are left exactly as they were";
    EXPECT_EQ(fs::hard_link_count(volume.path() + "/Backup 11-02-2026/shared.bin"), 3u);
    EXPECT_EQ(readFile(volume.path() + "/" + todaysBackupName() + "/new.bin"), readFile(m_source + "/new.bin"));
    std::ifstream log(m_scratch.path() + "/home/.local/state/drovanta/runs.log");
    const std::string logged((std::istreambuf_iterator<char>(log)), {});
    EXPECT_NE(logged.find("\nRemoved Backup 11-01-2026 to make room ("), std::string::npos) << logged;
}

TEST_F(CommandLine, ThinningRemovesAfterTheBackupExactlyWhatItsDryRunListed)
{
    std::vector<std::string> old;
    const std::time_t now = std::time(nullptr);
    for (int daysAgo = 1; daysAgo <= 60; ++daysAgo) {
        const std::time_t then = now - daysAgo * 86'400;
        std::tm local {};
        ::localtime_r(&then, &local);
        char name[32];
        std::strftime(name, sizeof name, "Backup %m-%d-%Y", &local);
        old.emplace_back(name);
        fs::create_directory(m_destination + "/" + name);
    }
    writeFile(m_source + "/notes.txt", "notes");
    const auto listed = [](const std::string &text, const std::string &start) {
        std::vector<std::string> names;
        std::istringstream lines(text);
        for (std::string line; std::getline(lines, line);) {
            if (line.starts_with(start))
                names.push_back(line.substr(start.size(), std::string("Backup mm-dd-yyyy").size()));
        }
        std::sort(names.begin(), names.end());
        return names;
    };
    const std::vector<std::string> keep = {"--keep-daily", "7", "--keep-weekly", "2", "--keep-monthly", "1"};
    std::vector<std::string> arguments = {"--backup", m_source, m_destination};
    arguments.insert(arguments.end(), keep.begin(), keep.end());
    std::vector<std::string> dryArguments = arguments;
    dryArguments.push_back("--dry-run");

    const Finished dryRun = run(dryArguments);
    ASSERT_EQ(dryRun.exitCode, 0) << dryRun.errors;
    for (const auto &name : old)
        ASSERT_TRUE(fs::exists(m_destination + "/" + name)) << "the dry run removed " << name;
    ASSERT_FALSE(fs::exists(backupFolder())) << "the dry run copied";
    const Finished thinned = run(arguments);

    EXPECT_EQ(thinned.exitCode, 0) << thinned.errors;
    const std::vector<std::string> wouldGo = listed(dryRun.output, "Would remove ");
    EXPECT_GE(wouldGo.size(), 45u);
    EXPECT_EQ(listed(thinned.errors, "Removed "), wouldGo);
    for (const auto &name : old)
        EXPECT_NE(fs::exists(m_destination + "/" + name), std::binary_search(wouldGo.begin(), wouldGo.end(), name))
            << name;
    EXPECT_TRUE(fs::exists(backupFolder() + "/notes.txt"));
}

// --- the run log -------------------------------------------------------------

class RunLog : public CommandLine {
protected:
    std::string stateFolder() const { return m_scratch.path() + "/home/.local/state/drovanta"; }
    std::string read(const std::string &name) const
    {
        std::ifstream file(stateFolder() + "/" + name, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(file)), {});
    }
};

TEST_F(RunLog, ARefusedAndAFailedRunAreRecordedWithTheirExitCodesInBothFilesAndTheFailuresSortedByPath)
{
    const std::string missing = m_work / "unplugged";
    const std::vector<std::string> refusedArguments{"--quiet", "--backup", m_source, missing};
    ASSERT_EQ(run(refusedArguments).exitCode, 2);
    // Two items the destination cannot take: earlier folders of today stand
    // where the files go.
    fs::create_directory(m_source + "/Docs");
    for (const char *name : {"z.txt", "a.txt", "m.txt"}) {
        writeFile(m_source + "/Docs/" + name, name);
        if (std::string(name) != "m.txt")
            fs::create_directories(backupFolder() + "/Docs/" + name + "/kept");
    }
    const std::vector<std::string> failedArguments{"--backup", m_source, m_destination};
    ASSERT_EQ(run(failedArguments).exitCode, 1);

    const std::string log = read("runs.log");
    EXPECT_NE(log.find("\nEnded: refused: The destination '" + missing +
                       "' does not exist or is not a folder.\nExit code: 2\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("\nVersion: " DROVANTA_VERSION "\n"), std::string::npos) << log;
    EXPECT_NE(log.find("\nOptions: --quiet --backup " + m_source + " " + missing + "\n"), std::string::npos) << log;
    EXPECT_NE(log.find("\nExit code: 1\nSummary: "), std::string::npos) << log;
    const std::string a = backupFolder() + "/Docs/a.txt", z = backupFolder() + "/Docs/z.txt";
    ASSERT_NE(log.find(z + ": "), std::string::npos) << log;
    EXPECT_LT(log.find(a + ": "), log.find(z + ": ")) << log;

    const QStringList lines = QString::fromStdString(read("runs.jsonl")).split(u'\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 2);
    const QStringList fields{u"start"_qs,    u"end"_qs,          u"run"_qs,     u"version"_qs,
                             u"user"_qs,     u"startedFrom"_qs,  u"options"_qs, u"source"_qs,
                             u"backupFolder"_qs, u"target"_qs,   u"exitCode"_qs, u"ending"_qs,
                             u"summary"_qs,  u"notes"_qs,        u"failures"_qs, u"notCopiedByDesign"_qs};
    std::vector<QJsonObject> runs;
    for (const QString &line : lines) {
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(line.toUtf8(), &error);
        ASSERT_TRUE(document.isObject()) << error.errorString().toStdString() << ": " << line.toStdString();
        QStringList keys = document.object().keys();
        EXPECT_EQ(QSet<QString>(keys.begin(), keys.end()), QSet<QString>(fields.begin(), fields.end()))
            << line.toStdString();
        runs.push_back(document.object());
    }
    const auto options = [](const QJsonObject &run) {
        std::vector<std::string> given;
        for (const auto &option : run[u"options"_qs].toArray())
            given.push_back(option.toString().toStdString());
        return given;
    };
    EXPECT_EQ(runs[0][u"exitCode"_qs].toInt(-1), 2);
    EXPECT_EQ(runs[0][u"run"_qs].toString(), u"backup"_qs);
    EXPECT_EQ(options(runs[0]), refusedArguments);
    EXPECT_EQ(runs[0][u"version"_qs].toString(), QStringLiteral(DROVANTA_VERSION));
    EXPECT_FALSE(runs[0][u"user"_qs].toString().isEmpty());
    EXPECT_EQ(runs[1][u"exitCode"_qs].toInt(-1), 1);
    EXPECT_EQ(options(runs[1]), failedArguments);
    EXPECT_EQ(runs[1][u"backupFolder"_qs].toString().toStdString(), backupFolder());
    std::vector<std::string> failed;
    for (const auto &failure : runs[1][u"failures"_qs].toArray())
        failed.push_back(failure.toObject()[u"path"_qs].toString().toStdString());
    EXPECT_EQ(failed, (std::vector<std::string>{a, z}));
}

TEST_F(RunLog, ALogThatCannotBeWrittenIsSaidOnceWithItsReasonAfterAGoodRun)
{
    fs::create_directories(stateFolder() + "/runs.log"); // a folder where the log goes
    writeFile(m_source + "/notes.txt", "notes");

    const Finished result = run({"--quiet", "--backup", m_source, m_destination});

    EXPECT_EQ(result.exitCode, 0) << result.errors;
    EXPECT_EQ(occurrences(result.errors, "This run could not be recorded: "), 1u) << result.errors;
}

// Whoever can write beside the log (or the user, fooled) may put a link there:
// as root the run would write through it onto any file.
TEST_F(RunLog, SomethingOtherThanTheUsersOwnFolderAndFilesIsLeftAloneAndTheRunSaysSo)
{
    writeFile(m_source + "/notes.txt", "notes");
    const std::string target = m_work / "target";
    writeFileWithMode(target, "precious", 0644, 1'400'000'000, 0);
    const std::string targetFolder = m_work / "target-folder";
    fs::create_directory(targetFolder);
    const auto facts = [](const std::string &path) {
        const struct stat info = engine::testing::statOf(path);
        return std::to_string(info.st_mode) + " " + std::to_string(info.st_uid) + " " +
            std::to_string(info.st_size) + " " + std::to_string(info.st_mtim.tv_sec) + "." +
            std::to_string(info.st_mtim.tv_nsec) + " " + (S_ISREG(info.st_mode) ? readFile(path) : "");
    };
    const std::string before = facts(target) + facts(targetFolder);
    struct Case {
        std::string name;
        std::string shown; // the path the message names
        std::string kind;
        std::function<void()> plant;
    };
    std::vector<Case> cases{
        {"the log a link", stateFolder() + "/runs.log", "a link",
         [&] { fs::create_symlink(target, stateFolder() + "/runs.log"); }},
        {"its twin a link", stateFolder() + "/runs.jsonl", "a link",
         [&] { fs::create_symlink(target, stateFolder() + "/runs.jsonl"); }},
        {"the state folder a link", stateFolder(), "a link", [&] {
             fs::remove(stateFolder());
             fs::create_directory_symlink(targetFolder, stateFolder());
         }},
    };
    if (::geteuid() == 0)
        cases.push_back({"the log another user's", stateFolder() + "/runs.log", "another user's file", [&] {
                             writeFile(stateFolder() + "/runs.log", "");
                             ASSERT_EQ(::chown((stateFolder() + "/runs.log").c_str(), 65534, 65534), 0);
                         }});
    for (const auto &[name, shown, kind, plant] : cases) {
        fs::create_directories(stateFolder());
        plant();

        const Finished result = run({"--quiet", "--backup", m_source, m_destination});

        EXPECT_EQ(result.exitCode, 0) << name << ": " << result.errors;
        EXPECT_EQ(occurrences(result.errors, "This run could not be recorded: '" + shown + "' is not "), 1u)
            << name << ": " << result.errors;
        EXPECT_NE(result.errors.find("(it is " + kind + ")"), std::string::npos) << name << ": " << result.errors;
        EXPECT_EQ(facts(target) + facts(targetFolder), before) << name;
        EXPECT_TRUE(fs::is_empty(targetFolder)) << name;
        fs::remove_all(stateFolder()); // the link, not what it points to
    }
}

TEST_F(RunLog, ANamedPipeAsTheLogNeitherHoldsTheRunUpNorIsWrittenAndTheRunSaysSo)
{
    writeFile(m_source + "/notes.txt", "notes");
    fs::create_directories(stateFolder());
    const std::string pipe = stateFolder() + "/runs.log";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);

    ProgramRun program(m_scratch.path(), {"--quiet", "--backup", m_source, m_destination});
    const bool ended = program.endsWithin(std::chrono::seconds(20));
    if (!ended) {
        // A reader on the other end lets a waiting writer go on, so that the
        // test fails instead of hanging; whatever arrives is read away.
        const int reader = ::open(pipe.c_str(), O_RDONLY | O_NONBLOCK);
        char buffer[4096];
        while (!program.endsWithin(std::chrono::milliseconds(100)))
            (void)!::read(reader, buffer, sizeof buffer);
        ::close(reader);
    }

    EXPECT_TRUE(ended) << "the run waited on the named pipe";
    EXPECT_EQ(program.wait(), 0) << program.errors();
    EXPECT_NE(program.errors().find("This run could not be recorded: '" + pipe +
                                    "' is not a plain file of yours (it is a named pipe)"),
              std::string::npos)
        << program.errors();
}

TEST_F(RunLog, ANameHoldingALineBreakStaysOnItsLineEscapedInBothFiles)
{
    const std::string source = m_work / "two\nlines";
    fs::create_directories(source + "/Docs");
    writeFile(source + "/Docs/bad\nname.txt", "x");
    // Something in the way of the file in the backup: the item fails.
    fs::create_directories(backupFolder() + "/Docs/bad\nname.txt/kept");

    ASSERT_EQ(run({"--backup", source, m_destination}).exitCode, 1);

    const std::string log = read("runs.log");
    EXPECT_NE(log.find("\nSource: " + m_work.path() + "/two\\x0Alines"), std::string::npos) << log;
    EXPECT_NE(log.find("\n" + backupFolder() + "/Docs/bad\\x0Aname.txt: "), std::string::npos) << log;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);)
        EXPECT_FALSE(line.starts_with("lines") || line.starts_with("name.txt")) << log;
    const QStringList jsonLines = QString::fromStdString(read("runs.jsonl")).split(u'\n', Qt::SkipEmptyParts);
    ASSERT_EQ(jsonLines.size(), 1) << read("runs.jsonl");
    const QJsonObject logged = QJsonDocument::fromJson(jsonLines[0].toUtf8()).object();
    EXPECT_TRUE(logged[u"source"_qs].toString().toStdString().starts_with(source)) << jsonLines[0].toStdString();
    const QJsonArray failures = logged[u"failures"_qs].toArray();
    ASSERT_EQ(failures.size(), 1);
    EXPECT_EQ(failures[0].toObject()[u"path"_qs].toString().toStdString(), backupFolder() + "/Docs/bad\nname.txt");
}

TEST_F(RunLog, AFileThatWouldPassTheCapBecomesTheDotOneFileAndANewOneStarts)
{
    fs::create_directories(stateFolder());
    const std::string filler(1024 * 1024 - 10, '#');
    for (const char *name : {"runs.log", "runs.jsonl"})
        writeFile(stateFolder() + "/" + name, filler);

    ASSERT_EQ(run({"--backup", m_source, m_work / "unplugged"}).exitCode, 2);

    for (const std::string name : {"runs.log", "runs.jsonl"}) {
        EXPECT_EQ(read(name + ".1"), filler) << name;
        const std::string fresh = read(name);
        EXPECT_EQ(fresh.find('#'), std::string::npos) << name;
        EXPECT_NE(fresh.find("unplugged"), std::string::npos) << name << ": " << fresh;
    }
}

// --- the backup folder ---------------------------------------------------------

// The run's lock can be held only by someone who may write: a user who can
// merely read the backups cannot keep the administrator's run out.
TEST_F(CommandLine, AUserWhoCanOnlyReadTheBackupsCannotKeepARunOut)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "another user's attempt needs root, to become that user";
    writeFile(m_source + "/notes.txt", "notes");
    ASSERT_EQ(backup().exitCode, 0);
    for (const std::string &folder : {m_work.path(), m_destination})
        fs::permissions(folder, fs::perms(0755));
    const std::string lockFile = m_destination + "/.drovanta/" + todaysBackupName() + ".lock";
    int ready[2], release[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(release), 0);
    const pid_t attacker = ::fork();
    ASSERT_GE(attacker, 0);
    if (attacker == 0) {
        ::close(ready[0]);
        ::close(release[1]);
        // Everything a reader can lock: the folder itself, and the lock file
        // for reading, were it readable.
        char held[2] = {'n', 'n'};
        if (::setresgid(65534, 65534, 65534) == 0 && ::setresuid(65534, 65534, 65534) == 0) {
            const int folder = ::open(backupFolder().c_str(), O_RDONLY | O_DIRECTORY);
            if (folder >= 0 && ::flock(folder, LOCK_EX | LOCK_NB) == 0)
                held[0] = 'y';
            const int file = ::open(lockFile.c_str(), O_RDONLY);
            struct flock shared {};
            shared.l_type = F_RDLCK;
            if (file >= 0 && ::fcntl(file, F_OFD_SETLK, &shared) == 0)
                held[1] = 'y';
        }
        (void)!::write(ready[1], held, 2);
        (void)!::read(release[0], held, 1); // until the test closes its end
        ::_exit(0);
    }
    ::close(ready[1]);
    ::close(release[0]);
    char held[2] = {};
    ASSERT_EQ(::read(ready[0], held, 2), 2);

    const Finished second = backup();

    ::close(release[1]);
    ::waitpid(attacker, nullptr, 0);
    ::close(ready[0]);
    ASSERT_EQ(held[0], 'y') << "the reader could not even lock the folder itself: nothing was tried";
    EXPECT_EQ(held[1], 'n') << "the reader holds the lock file";
    EXPECT_EQ(second.exitCode, 0) << second.errors;
}


TEST_F(CommandLine, SomethingOtherThanAFolderAtTheBackupFoldersPlaceIsRefusedWithTwoAndLeftAlone)
{
    writeFile(m_source + "/notes.txt", "notes");
    const std::string elsewhere = m_work / "elsewhere";
    fs::create_directory(elsewhere);
    const std::vector<std::pair<std::string, std::function<void()>>> cases{
        {"a file", [&] { writeFile(backupFolder(), "in the way"); }},
        {"a link", [&] { fs::create_directory_symlink(elsewhere, backupFolder()); }},
    };
    for (const auto &[kind, plant] : cases) {
        plant();

        const Finished result = backup();

        EXPECT_EQ(result.exitCode, 2) << kind << result.errors;
        EXPECT_NE(result.errors.find("'" + backupFolder() + "' is not a folder made by a backup (it is " + kind +
                                     "). Remove or rename it and start again."),
                  std::string::npos)
            << result.errors;
        EXPECT_TRUE(fs::is_empty(elsewhere));
        fs::remove(backupFolder());
    }
}

TEST_F(CommandLine, ARunIntoABackupFolderThatAnotherRunHoldsIsRefusedAndLeavesItUntouched)
{
    writeFile(m_source + "/notes.txt", "notes");
    fs::create_directory(backupFolder());
    writeFile(backupFolder() + "/notes.txt", "half");
    const auto entries = [](const std::string &root) {
        std::vector<std::string> found;
        for (const auto &entry : fs::recursive_directory_iterator(root))
            found.push_back(entry.path().string() + " " +
                            std::to_string(entry.is_regular_file() ? entry.file_size() : 0));
        std::sort(found.begin(), found.end());
        return found;
    };
    const std::vector<std::string> before = entries(backupFolder());

    {
        // This process stands for the run under way: it holds the folder as a run does.
        const auto held = platform::StdFileOperations().lockFolder(backupFolder());
        ASSERT_NE(held, nullptr);

        const Finished second = backup();

        EXPECT_EQ(second.exitCode, 2) << second.errors;
        EXPECT_NE(second.errors.find("Another backup is writing to " + backupFolder() +
                                     ". Wait until it has finished, then start again."),
                  std::string::npos)
            << second.errors;
        EXPECT_EQ(entries(backupFolder()), before) << "the refused run touched the other run's folder";
    }

    // Once the folder is let go, a run goes into it.
    const Finished after = backup();
    EXPECT_EQ(after.exitCode, 0) << after.errors;
    EXPECT_EQ(compareTrees(m_source, backupFolder()), std::vector<std::string>{});
}

// --- arguments ------------------------------------------------------------------

TEST_F(CommandLine, HelpAndHelpAllPrintTheUsageAndEndWithZero)
{
    for (const char *option : {"--help", "--help-all"}) {
        const Finished result = run({option});
        EXPECT_EQ(result.exitCode, 0) << option << result.errors;
        // The forms that work, not a bare "SOURCE DESTINATION", which does not.
        EXPECT_TRUE(result.output.starts_with(
            "Usage: drovanta --backup [--quiet] [--full] [--make-room] [--keep-daily N]\n"
            "                [--keep-weekly N] [--keep-monthly N] [--dry-run] SOURCE DESTINATION\n"
            "       drovanta --list\n"))
            << result.output;
    }
}

TEST_F(CommandLine, VersionPrintsTheProgramsNameAndVersionAndEndsWithZero)
{
    const Finished result = run({"--version"});
    EXPECT_EQ(result.exitCode, 0) << result.errors;
    EXPECT_EQ(result.output, "drovanta " DROVANTA_VERSION "\n");
}

TEST_F(CommandLine, QtsOwnOptionsOpenTheWindowInsteadOfTheCommandLine)
{
    using namespace std::chrono_literals;
    ProgramRun window(m_scratch.path(), {"-style", "Fusion", "-platform", "offscreen"});

    EXPECT_FALSE(window.endsWithin(2s)) << "exit code " << window.wait() << ": " << window.errors();
    EXPECT_EQ(window.output(), "");
}

TEST_F(CommandLine, WithoutArgumentsOrADisplayTheWindowSaysInOneLineThatItCannotOpen)
{
    // ProgramRun leaves DISPLAY, WAYLAND_DISPLAY and QT_QPA_PLATFORM out.
    const Finished result = run({});

    EXPECT_EQ(result.exitCode, 64);
    EXPECT_EQ(result.errors, "drovanta: no display is available to open the window on; 'drovanta --help' shows the "
                             "command line.\n");
    EXPECT_EQ(result.output, "");
}

struct WrongArguments {
    std::string name;
    std::vector<std::string> arguments; // "SOURCE" and "DESTINATION" stand for the test's folders
    std::string problem;
};

void PrintTo(const WrongArguments &wrong, std::ostream *out)
{
    *out << wrong.name;
}

class WrongArgumentsRun : public CommandLine, public ::testing::WithParamInterface<WrongArguments> {};

TEST_P(WrongArgumentsRun, EndWithSixtyFourAndTwoLinesWithoutTouchingTheDestination)
{
    std::vector<std::string> arguments = GetParam().arguments;
    for (std::string &argument : arguments) {
        if (argument == "SOURCE")
            argument = m_source;
        else if (argument == "DESTINATION")
            argument = m_destination;
    }

    const Finished result = run(arguments);

    EXPECT_EQ(result.exitCode, 64);
    // The mistake and where to learn more, not the whole help for every one.
    EXPECT_EQ(result.errors, "drovanta: " + GetParam().problem + "\nTry 'drovanta --help' for more information.\n");
    EXPECT_EQ(result.output, "");
    EXPECT_TRUE(fs::is_empty(m_destination));
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, WrongArgumentsRun,
    ::testing::Values(
        WrongArguments{"UnknownOption", {"--frobnicate"}, "Unknown option '--frobnicate'."},
        WrongArguments{"ShortVBeforeABackup", {"-v", "--backup", "SOURCE", "DESTINATION"}, "Unknown option '-v'."},
        WrongArguments{"VersionWithABackup", {"--version", "--backup", "SOURCE", "DESTINATION"},
                       "--version cannot be combined with --backup."},
        WrongArguments{"BackupWithOnePath", {"--backup", "SOURCE"}, "--backup needs a SOURCE and a DESTINATION."},
        WrongArguments{"BackupWithThreePaths", {"--backup", "SOURCE", "DESTINATION", "DESTINATION"},
                       "--backup needs a SOURCE and a DESTINATION."},
        WrongArguments{"PathsWithoutBackup", {"SOURCE", "DESTINATION"},
                       "Nothing to do: give --backup SOURCE DESTINATION or --list."},
        WrongArguments{"ListWithABackup", {"--list", "--backup", "SOURCE", "DESTINATION"},
                       "--list cannot be combined with --backup."},
        WrongArguments{"VerifyFolderWithoutItsName", {"--verify", "SOURCE", "DESTINATION", "--verify-folder"},
                       "'--verify-folder' needs a value."},
        WrongArguments{"VerifyFolderWithABackup", {"--backup", "--verify-folder", "x", "SOURCE", "DESTINATION"},
                       "--verify-folder goes with --verify or --check."},
        WrongArguments{"OverwriteWithoutRestore", {"--overwrite", "--backup", "SOURCE", "DESTINATION"},
                       "--overwrite goes with --restore."},
        WrongArguments{"CheckWithTwoPaths", {"--check", "SOURCE", "DESTINATION"}, "--check needs a DESTINATION."},
        WrongArguments{"RestoreWithABackup", {"--restore", "--backup", "SOURCE", "DESTINATION"},
                       "--backup cannot be combined with --restore."}),
    [](const ::testing::TestParamInfo<WrongArguments> &info) { return info.param.name; });

TEST_F(CommandLine, ListShowsTheRootDriveWithItsRootAndFreeBytesSeparatedByTabs)
{
    const Finished result = run({"--list"});

    ASSERT_EQ(result.exitCode, 0) << result.errors;
    bool rootListed = false;
    std::istringstream lines(result.output);
    for (std::string line; std::getline(lines, line);) {
        const auto first = line.find('\t');
        const auto second = line.find('\t', first + 1);
        ASSERT_NE(second, std::string::npos) << line;
        ASSERT_EQ(line.find('\t', second + 1), std::string::npos) << line;
        const std::string root = line.substr(first + 1, second - first - 1);
        const std::string bytes = line.substr(second + 1);
        EXPECT_FALSE(bytes.empty());
        EXPECT_EQ(bytes.find_first_not_of("0123456789"), std::string::npos) << line;
        if (root == "/") {
            rootListed = true;
            EXPECT_TRUE(line.substr(0, first).ends_with(" (/)")) << line;
        }
    }
    EXPECT_TRUE(rootListed) << result.output;
}

// --- stopping -------------------------------------------------------------------

TEST_F(CommandLine, AnInterruptMidRunEndsWith130AndLeavesOnlyWholeFilesUnderRealNames)
{
    constexpr int folders = 24;
    constexpr int filesPerFolder = 100;
    for (int f = 0; f < folders; ++f) {
        const std::string folder = m_source + "/folder" + std::to_string(f);
        fs::create_directory(folder);
        for (int i = 0; i < filesPerFolder; ++i)
            writeFile(folder + "/file" + std::to_string(i), std::string(1000 + i, static_cast<char>('a' + f % 26)));
    }

    ProgramRun running(m_scratch.path(), {"--backup", m_source, m_destination});
    // Well into the run: a few top-level folders started.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (occurrences(running.errors(), "Copy folder") < 3 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    running.sendSignal(SIGINT);
    const int exitCode = running.wait();

    EXPECT_EQ(exitCode, 130) << running.errors();
    EXPECT_EQ(running.output(), "");
    EXPECT_NE(running.errors().find("stopped"), std::string::npos) << running.errors();
    EXPECT_EQ(compareTrees(m_source, backupFolder(), {}, true), std::vector<std::string>{});
    EXPECT_EQ(temporaryFiles(backupFolder()), std::vector<std::string>{});
    EXPECT_LT(filesUnder(backupFolder()), static_cast<std::size_t>(folders * filesPerFolder))
        << "the run ended before the interrupt, so the test proved nothing";
}

} // namespace
} // namespace drovanta::cli::testing
