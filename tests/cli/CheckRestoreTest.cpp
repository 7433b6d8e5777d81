// Backups a user can check and bring back, through the real program:
// --verify against the source, --check against the fingerprint record,
// --restore into a folder.
#include "ProgramRun.h"

#include "LoopVolume.h"
#include "PosixTestSupport.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <ostream>
#include <regex>
#include <sstream>

namespace drovanta::cli::testing {
namespace {

namespace fs = std::filesystem;
using drovanta::testing::LoopVolume;
using engine::testing::aclGrantingReadTo1234;
using engine::testing::compareTrees;
using engine::testing::readFile;
using engine::testing::statOf;
using engine::testing::TempFolder;
using engine::testing::writeFile;
using engine::testing::writeFileWithMode;

// Changes one byte of `path` in place and gives it back its times, as
// decay (or a program writing into the file) leaves it: same size, same
// modification time.
void changeOneByteKeepingTimes(const std::string &path)
{
    const struct stat before = statOf(path);
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(0);
    char first = 0;
    file.read(&first, 1);
    file.seekp(0);
    first = static_cast<char>(first ^ 1);
    file.write(&first, 1);
    file.close();
    const struct timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
}

// The lines under `heading` in a grouped report, up to the next heading.
std::vector<std::string> group(const std::string &output, const std::string &heading)
{
    std::vector<std::string> lines;
    std::istringstream in(output);
    std::string line;
    bool inside = false;
    while (std::getline(in, line)) {
        if (!line.starts_with("  ")) {
            inside = line.starts_with(heading);
            continue;
        }
        if (inside)
            lines.push_back(line.substr(2));
    }
    return lines;
}

class Checking : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::create_directories(m_source + "/docs");
        writeFileWithMode(m_source + "/docs/letter.txt", "Dear reader", 0644, 1'500'000'000, 1);
        writeFileWithMode(m_source + "/docs/plan.txt", "step one, step two", 0644, 1'500'000'000, 2);
        writeFileWithMode(m_source + "/photo.jpg", std::string(300'000, 'p'), 0644, 1'500'000'000, 3);
        fs::create_directory(m_destination);
    }

    Finished run(const std::vector<std::string> &arguments) { return runProgram(m_scratch.path(), arguments); }
    Finished backup() { return run({"--backup", m_source, m_destination}); }
    std::string backupFolder() const { return m_destination + "/" + todaysBackupName(); }
    std::string record(const std::string &name) const { return m_destination + "/.drovanta/" + name + ".sums"; }

    TempFolder m_scratch;
    TempFolder m_work;
    const std::string m_source = m_work / "source";
    const std::string m_destination = m_work / "destination";
};

// --- --verify --------------------------------------------------------------

struct Planted {
    std::string name;
    std::function<void(const std::string &source, const std::string &backup)> plant;
    std::string heading; // the group it must be reported in
    std::string path;
};

void PrintTo(const Planted &planted, std::ostream *out)
{
    *out << planted.name;
}

class VerifyFinds : public Checking, public ::testing::WithParamInterface<Planted> {};

TEST_P(VerifyFinds, EachPlantedDifferenceInItsGroupAndEndsWithOne)
{
    ASSERT_EQ(backup().exitCode, 0);
    GetParam().plant(m_source, backupFolder());

    const Finished result = run({"--verify", m_source, m_destination});

    EXPECT_EQ(result.exitCode, 1) << result.output << result.errors;
    const std::vector<std::string> lines = group(result.output, GetParam().heading);
    ASSERT_EQ(lines.size(), 1u) << result.output;
    EXPECT_TRUE(lines[0].starts_with(GetParam().path)) << result.output;
}

INSTANTIATE_TEST_SUITE_P(
    Verify, VerifyFinds,
    ::testing::Values(
        Planted{"AByteChangedInTheCopyWithItsSizeAndTimeRestored",
                [](const std::string &, const std::string &copy) { changeOneByteKeepingTimes(copy + "/docs/plan.txt"); },
                "Content differs while size and modification time agree", "docs/plan.txt"},
        Planted{"AFileRemovedFromTheCopy",
                [](const std::string &, const std::string &copy) { fs::remove(copy + "/photo.jpg"); },
                "Missing from the backup", "photo.jpg"},
        Planted{"AFileAddedToTheCopy",
                [](const std::string &, const std::string &copy) {
                    writeFileWithMode(copy + "/docs/stray.txt", "stray", 0644);
                },
                "Only in the backup", "docs/stray.txt"},
        Planted{"AModeChangedInTheSource",
                [](const std::string &source, const std::string &) {
                    fs::permissions(source + "/docs/letter.txt", fs::perms(0600));
                },
                "Metadata differs", "docs/letter.txt: mode 0600, backup 0644"},
        Planted{"AFileRewrittenInTheSource",
                [](const std::string &source, const std::string &) {
                    writeFileWithMode(source + "/docs/plan.txt", "step one", 0644, 1'600'000'000, 0);
                },
                "Changed in the source since the backup", "docs/plan.txt"}),
    [](const ::testing::TestParamInfo<Planted> &info) { return info.param.name; });

TEST_F(Checking, VerifyOfAnUntouchedBackupEndsWithZeroAndWritesNothing)
{
    ASSERT_EQ(backup().exitCode, 0);
    const std::string recordBefore = readFile(record(todaysBackupName()));
    const struct stat folderBefore = statOf(backupFolder());

    const Finished result = run({"--verify", m_source, m_destination});

    EXPECT_EQ(result.exitCode, 0) << result.output << result.errors;
    EXPECT_NE(result.output.find("matches the source"), std::string::npos) << result.output;
    EXPECT_EQ(readFile(record(todaysBackupName())), recordBefore);
    EXPECT_EQ(statOf(backupFolder()).st_mtim.tv_nsec, folderBefore.st_mtim.tv_nsec);
    EXPECT_EQ(statOf(backupFolder()).st_mtim.tv_sec, folderBefore.st_mtim.tv_sec);
}

TEST_F(Checking, VerifyWithoutAnyBackupEndsWithTwo)
{
    const Finished result = run({"--verify", m_source, m_destination});

    EXPECT_EQ(result.exitCode, 2);
    EXPECT_NE(result.errors.find("no \"Backup mm-dd-yyyy\" folder"), std::string::npos) << result.errors;
    EXPECT_TRUE(fs::is_empty(m_destination));
}

// --- the fingerprint record and --check -----------------------------------------

TEST_F(Checking, CheckFindsAByteChangedInsideTheBackupWithoutTheSource)
{
    ASSERT_EQ(backup().exitCode, 0);
    ASSERT_EQ(run({"--check", m_destination}).exitCode, 0);
    changeOneByteKeepingTimes(backupFolder() + "/docs/letter.txt");
    fs::rename(m_source, m_work / "source-gone");

    const Finished result = run({"--check", m_destination});

    EXPECT_EQ(result.exitCode, 1) << result.output << result.errors;
    EXPECT_EQ(group(result.output, "Content no longer matches the record"), std::vector<std::string>{"docs/letter.txt"})
        << result.output;
}

TEST_F(Checking, TheRecordIsPlainTextWithHashSizeAndPathAndNoTemporaryIsLeft)
{
    writeFileWithMode(m_source + "/odd\nname\\x", "odd", 0644);
    ASSERT_EQ(backup().exitCode, 0);

    const std::string text = readFile(record(todaysBackupName()));

    EXPECT_TRUE(std::regex_search(text, std::regex("\n[0-9a-f]{32}  300000  photo\\.jpg\n"))) << text;
    EXPECT_NE(text.find("  3  odd\\nname\\\\x\n"), std::string::npos) << text;
    std::size_t entries = 0;
    for (const auto &entry : fs::directory_iterator(m_destination + "/.drovanta")) {
        if (entry.path().filename() != todaysBackupName() + ".lock") // the backup folder's lock
            ++entries;
    }
    EXPECT_EQ(entries, 1u) << "only the record, no temporary file";
}

// A second day's backup shares unchanged files with the first: their
// fingerprints come from the first day's record without a read. The first
// record is doctored for a shared file; today's record carrying that very
// value shows it was taken, not computed.
TEST_F(Checking, ASecondDaysRecordTakesTheFingerprintsOfSharedFilesFromTheFirstDaysRecord)
{
    ASSERT_EQ(backup().exitCode, 0);
    const std::string earlier = "Backup 01-01-2000";
    fs::rename(backupFolder(), m_destination + "/" + earlier);
    std::string text = readFile(record(todaysBackupName()));
    fs::remove(record(todaysBackupName()));
    const std::regex photoLine("[0-9a-f]{32}(  300000  photo\\.jpg)");
    const std::string doctored = std::string(32, 'e');
    text = std::regex_replace(text, photoLine, doctored + "$1");
    std::ofstream(record(earlier)) << text;
    writeFileWithMode(m_source + "/docs/plan.txt", "step three", 0644, 1'600'000'000, 0);

    const Finished second = backup();

    ASSERT_EQ(second.exitCode, 0) << second.errors;
    ASSERT_EQ(statOf(backupFolder() + "/photo.jpg").st_ino, statOf(m_destination + "/" + earlier + "/photo.jpg").st_ino);
    const std::string today = readFile(record(todaysBackupName()));
    EXPECT_NE(today.find(doctored + "  300000  photo.jpg\n"), std::string::npos) << today;
    EXPECT_TRUE(std::regex_search(today, std::regex("\n[0-9a-f]{32}  10  docs/plan\\.txt\n"))) << today;
    EXPECT_EQ(today.find(doctored + "  10  docs/plan.txt"), std::string::npos) << today;
}

TEST_F(Checking, CheckWithoutARecordEndsWithTwoAndSaysSo)
{
    ASSERT_EQ(backup().exitCode, 0);
    fs::remove_all(m_destination + "/.drovanta");

    const Finished result = run({"--check", m_destination});

    EXPECT_EQ(result.exitCode, 2);
    EXPECT_NE(result.errors.find("does not exist"), std::string::npos) << result.errors;
    EXPECT_FALSE(fs::exists(m_destination + "/.drovanta"));
}

// --- --restore ---------------------------------------------------------------

class Restoring : public Checking {
protected:
    void SetUp() override
    {
        Checking::SetUp();
        ASSERT_EQ(backup().exitCode, 0);
        fs::create_directory(m_target);
    }

    const std::string m_target = m_work / "target";
};

TEST_F(Restoring, OneFolderOfABackupComesBackUnderItsNameInTheTarget)
{
    const Finished result = run({"--restore", backupFolder() + "/docs", m_target});

    EXPECT_EQ(result.exitCode, 0) << result.errors;
    EXPECT_EQ(compareTrees(m_source + "/docs", m_target + "/docs"), std::vector<std::string>{});
    EXPECT_FALSE(fs::exists(m_target + "/photo.jpg"));
}

TEST_F(Restoring, WhatAnInterruptedRunLeftInTheBackupIsNeitherPlannedNorRestored)
{
    const std::string leftover = "/.drovanta-tmp-0123456789abcdef";
    fs::create_directory(backupFolder() + leftover);
    writeFile(backupFolder() + leftover + "/half", "ha");
    writeFile(backupFolder() + "/docs" + leftover, "partial");

    const Finished plan = run({"--restore", "--dry-run", backupFolder(), m_target});
    const Finished restore = run({"--restore", backupFolder(), m_target});

    EXPECT_EQ(plan.output.find(leftover), std::string::npos) << plan.output;
    EXPECT_EQ(restore.exitCode, 0) << restore.errors;
    EXPECT_FALSE(fs::exists(m_target + leftover));
    EXPECT_FALSE(fs::exists(m_target + "/docs" + leftover));
    EXPECT_TRUE(fs::exists(m_target + "/docs"));
}

struct ExistingItems {
    std::string name;
    bool overwrite;
};

void PrintTo(const ExistingItems &existing, std::ostream *out)
{
    *out << existing.name;
}

class RestoreOverExisting : public Restoring, public ::testing::WithParamInterface<ExistingItems> {};

TEST_P(RestoreOverExisting, KeepsNewerDifferingFilesUnlessTold)
{
    fs::create_directory(m_target + "/docs");
    writeFileWithMode(m_target + "/docs/letter.txt", "Dear reader, newer", 0644, 1'700'000'000, 0);

    const Finished result = GetParam().overwrite ? run({"--restore", "--overwrite", backupFolder(), m_target})
                                                 : run({"--restore", backupFolder(), m_target});

    EXPECT_EQ(result.exitCode, 0) << result.errors;
    EXPECT_EQ(readFile(m_target + "/docs/plan.txt"), "step one, step two");
    EXPECT_EQ(readFile(m_target + "/photo.jpg"), std::string(300'000, 'p'));
    if (GetParam().overwrite) {
        EXPECT_EQ(readFile(m_target + "/docs/letter.txt"), "Dear reader");
        EXPECT_EQ(compareTrees(m_source, m_target), std::vector<std::string>{});
    } else {
        EXPECT_EQ(readFile(m_target + "/docs/letter.txt"), "Dear reader, newer");
        EXPECT_NE(result.errors.find("Kept, differs from the backup: " + m_target + "/docs/letter.txt"),
                  std::string::npos)
            << result.errors;
    }
}

INSTANTIATE_TEST_SUITE_P(Restore, RestoreOverExisting,
                         ::testing::Values(ExistingItems{"WithoutOverwrite", false}, ExistingItems{"WithOverwrite", true}),
                         [](const ::testing::TestParamInfo<ExistingItems> &info) { return info.param.name; });

// Each is recorded in the run log as a backup is, in both files: what it
// did where, how it ended, and every item it found wrong sorted by path.
TEST_F(Restoring, ARestoreAVerifyAndACheckEachLeaveARunLogRecordWithTheirProblemsSortedByPath)
{
    ASSERT_EQ(run({"--restore", backupFolder(), m_target}).exitCode, 0);
    changeOneByteKeepingTimes(backupFolder() + "/docs/plan.txt");
    fs::remove(backupFolder() + "/photo.jpg");
    ASSERT_EQ(run({"--verify", m_source, m_destination}).exitCode, 1);
    ASSERT_EQ(run({"--check", m_destination}).exitCode, 1);

    std::ifstream file(m_scratch.path() + "/home/.local/state/drovanta/runs.jsonl", std::ios::binary);
    const QStringList lines = QString::fromStdString(std::string((std::istreambuf_iterator<char>(file)), {}))
                                  .split(u'\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 4); // the backup first
    std::vector<QJsonObject> runs;
    for (const QString &line : lines)
        runs.push_back(QJsonDocument::fromJson(line.toUtf8()).object());
    const auto text = [](const QJsonObject &run, const QString &field) { return run[field].toString().toStdString(); };
    const auto failed = [](const QJsonObject &run) {
        std::vector<std::string> paths;
        for (const auto &failure : run[u"failures"_qs].toArray())
            paths.push_back(failure.toObject()[u"path"_qs].toString().toStdString());
        return paths;
    };
    for (const QJsonObject &run : runs)
        EXPECT_EQ(run.keys(), runs[0].keys());
    EXPECT_EQ(text(runs[1], u"run"_qs), "restore");
    EXPECT_EQ(text(runs[1], u"source"_qs), backupFolder());
    EXPECT_EQ(text(runs[1], u"target"_qs), m_target);
    EXPECT_EQ(runs[1][u"exitCode"_qs].toInt(-1), 0);
    EXPECT_EQ(text(runs[2], u"run"_qs), "verify");
    EXPECT_EQ(text(runs[2], u"backupFolder"_qs), backupFolder());
    EXPECT_EQ(runs[2][u"exitCode"_qs].toInt(-1), 1);
    EXPECT_EQ(failed(runs[2]), (std::vector<std::string>{"docs/plan.txt", "photo.jpg"}));
    EXPECT_EQ(text(runs[3], u"run"_qs), "check");
    EXPECT_EQ(text(runs[3], u"source"_qs), record(todaysBackupName()));
    EXPECT_EQ(failed(runs[3]), (std::vector<std::string>{"docs/plan.txt", "photo.jpg"}));
}

TEST_F(Restoring, ADryRunListsWhatItWouldAddReplaceAndKeepAndWritesNothing)
{
    fs::create_directory(m_target + "/docs");
    writeFileWithMode(m_target + "/docs/letter.txt", "Dear reader, newer", 0644, 1'700'000'000, 0);
    writeFileWithMode(m_target + "/docs/plan.txt", "step one, step two", 0644, 1'500'000'000, 2);

    const Finished keep = run({"--restore", "--dry-run", backupFolder(), m_target});
    const Finished replace = run({"--restore", "--dry-run", "--overwrite", backupFolder(), m_target});

    EXPECT_EQ(keep.exitCode, 0) << keep.errors;
    EXPECT_EQ(keep.output, "keep\t" + m_target + "/docs/letter.txt\nadd\t" + m_target + "/photo.jpg\n");
    EXPECT_EQ(replace.output, "replace\t" + m_target + "/docs/letter.txt\nadd\t" + m_target + "/photo.jpg\n");
    EXPECT_FALSE(fs::exists(m_target + "/photo.jpg"));
    EXPECT_EQ(readFile(m_target + "/docs/letter.txt"), "Dear reader, newer");
}

class RestoreBesideALink : public Restoring, public ::testing::WithParamInterface<ExistingItems> {};

// A link where a folder of the backup goes ("docs" -> a folder elsewhere)
// is never followed: nothing lands in the folder it points to.
TEST_P(RestoreBesideALink, NeverFollowsALinkPlantedInTheTarget)
{
    const std::string elsewhere = m_work / "elsewhere";
    fs::create_directory(elsewhere);
    fs::create_directory_symlink(elsewhere, m_target + "/docs");

    const Finished result = GetParam().overwrite ? run({"--restore", "--overwrite", backupFolder(), m_target})
                                                 : run({"--restore", backupFolder(), m_target});

    EXPECT_EQ(result.exitCode, 0) << result.errors;
    EXPECT_TRUE(fs::is_empty(elsewhere));
    EXPECT_EQ(fs::is_symlink(m_target + "/docs"), !GetParam().overwrite);
    if (GetParam().overwrite) {
        EXPECT_EQ(compareTrees(m_source, m_target), std::vector<std::string>{});
    }
}

INSTANTIATE_TEST_SUITE_P(Restore, RestoreBesideALink,
                         ::testing::Values(ExistingItems{"WithoutOverwrite", false}, ExistingItems{"WithOverwrite", true}),
                         [](const ::testing::TestParamInfo<ExistingItems> &info) { return info.param.name; });

struct Overlap {
    std::string name;
    std::string backup; // relative to the work folder; BACKUP stands for today's backup folder
    std::string target;
};

void PrintTo(const Overlap &overlap, std::ostream *out)
{
    *out << overlap.name;
}

class RestoreOverlap : public Checking, public ::testing::WithParamInterface<Overlap> {};

TEST_P(RestoreOverlap, IsRefusedWithTwoAndWritesNothing)
{
    ASSERT_EQ(backup().exitCode, 0);
    fs::create_directories(backupFolder() + "/docs/inside");
    const auto place = [&](std::string path) {
        return std::regex_replace(path, std::regex("BACKUP"), backupFolder());
    };

    const Finished result = run({"--restore", place(GetParam().backup), place(GetParam().target)});

    EXPECT_EQ(result.exitCode, 2) << result.errors;
    EXPECT_NE(result.errors.find("lies inside"), std::string::npos) << result.errors;
    EXPECT_TRUE(fs::is_empty(backupFolder() + "/docs/inside"));
}

INSTANTIATE_TEST_SUITE_P(
    Restore, RestoreOverlap,
    ::testing::Values(Overlap{"TargetInsideTheBackup", "BACKUP", "BACKUP/docs/inside"},
                      Overlap{"TargetInsideTheBackupOfAnItem", "BACKUP/photo.jpg", "BACKUP/docs/inside"},
                      Overlap{"BackupInsideTheTarget", "BACKUP/docs", "BACKUP/.."}),
    [](const ::testing::TestParamInfo<Overlap> &info) { return info.param.name; });

// Everything a drive holds, on ext4 as root: the restore is the same tree.
TEST(RestoreEveryKind, IntoAnEmptyFolderGivesAFaithfulCopy)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "owners, device nodes and loop volumes need root";
    LoopVolume drive(drovanta::testing::Filesystem::Ext4, 64);
    if (!drive.mounted())
        GTEST_SKIP() << drive.error();
    TempFolder scratch;
    const std::string source = drive.path() + "/source";
    const std::string destination = drive.path() + "/destination";
    const std::string target = drive.path() + "/restored";
    fs::create_directories(source + "/deep/er");
    fs::create_directory(destination);
    fs::create_directory(target);
    writeFileWithMode(source + "/deep/er/owned", "someone else's", 0640, 1'500'000'000, 7);
    ASSERT_EQ(::lchown((source + "/deep/er/owned").c_str(), 1234, 5678), 0);
    writeFileWithMode(source + "/caf\xe9", "not UTF-8", 0600);
    ASSERT_EQ(::lsetxattr((source + "/caf\xe9").c_str(), "user.note", "kept", 4, 0), 0);
    const std::string acl = aclGrantingReadTo1234();
    const bool acls = ::lsetxattr((source + "/deep/er/owned").c_str(), "system.posix_acl_access", acl.data(),
                                  acl.size(), 0) == 0;
    {
        const int fd = ::open((source + "/sparse.img").c_str(), O_WRONLY | O_CREAT, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::pwrite(fd, "end", 3, (off_t{64} << 20) - 3), 3);
        ::close(fd);
    }
    ASSERT_EQ(::link((source + "/deep/er/owned").c_str(), (source + "/second-name").c_str()), 0);
    ASSERT_EQ(::mkfifo((source + "/pipe").c_str(), 0620), 0);
    ASSERT_EQ(::mknod((source + "/null").c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
    fs::create_symlink("deep/er/owned", source + "/link");
    ASSERT_EQ(runProgram(scratch.path(), {"--backup", source, destination}).exitCode, 0);

    const Finished result = runProgram(scratch.path(), {"--restore", destination + "/" + todaysBackupName(), target});

    EXPECT_EQ(result.exitCode, 0) << result.errors;
    EXPECT_EQ(compareTrees(source, target), std::vector<std::string>{});
    const struct stat owned = statOf(target + "/deep/er/owned");
    EXPECT_EQ(owned.st_uid, 1234u);
    EXPECT_EQ(owned.st_gid, 5678u);
    EXPECT_EQ(owned.st_ino, statOf(target + "/second-name").st_ino);
    EXPECT_LT(statOf(target + "/sparse.img").st_blocks, 64) << "holes stay holes";
    EXPECT_TRUE(S_ISCHR(statOf(target + "/null").st_mode));
    char note[8] = {};
    EXPECT_EQ(::lgetxattr((target + "/caf\xe9").c_str(), "user.note", note, sizeof note), 4);
    if (acls) {
        char copied[64] = {};
        EXPECT_EQ(::lgetxattr((target + "/deep/er/owned").c_str(), "system.posix_acl_access", copied, sizeof copied),
                  static_cast<ssize_t>(acl.size()));
    }
}

} // namespace
} // namespace drovanta::cli::testing
