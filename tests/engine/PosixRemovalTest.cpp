// Old backup folders measured and removed: shared files, links, mounts and
// a removal killed halfway.
#include "LoopVolume.h"
#include "PosixTestSupport.h"

#include "engine/BackupRemoval.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <string>

using namespace drovanta::engine;
using namespace drovanta::engine::testing;

namespace fs = std::filesystem;

namespace {

std::uint64_t blocks(const std::string &path)
{
    return static_cast<std::uint64_t>(statOf(path).st_blocks) * 512;
}

} // namespace

TEST(OldBackupRemoval, AFileSharedByTwoBackupsIsFreedOnlyWithBoth)
{
    TempFolder root;
    fs::create_directories(root / "Backup 01-01-2026");
    fs::create_directories(root / "Backup 01-02-2026");
    writeFile(root / "Backup 01-01-2026/own", randomBytes(40'000, 1));
    writeFile(root / "Backup 01-01-2026/shared", randomBytes(80'000, 2));
    ASSERT_EQ(::link((root / "Backup 01-01-2026/shared").c_str(), (root / "Backup 01-02-2026/shared").c_str()), 0);

    const auto freed = bytesFreedByRemoving(root.path(), {"Backup 01-01-2026", "Backup 01-02-2026"});

    ASSERT_EQ(freed.size(), 2u);
    const std::uint64_t folders = blocks(root / "Backup 01-01-2026") + blocks(root / "Backup 01-02-2026");
    EXPECT_EQ(freed[0], blocks(root / "Backup 01-01-2026") + blocks(root / "Backup 01-01-2026/own"));
    EXPECT_EQ(freed[1], folders + blocks(root / "Backup 01-01-2026/own") + blocks(root / "Backup 01-01-2026/shared"));
}

TEST(OldBackupRemoval, ALinkInsideIsRemovedAndWhatItPointsToStays)
{
    TempFolder root;
    fs::create_directories(root / "Backup 01-01-2026/deep");
    writeFile(root / "outside", "kept");
    ASSERT_EQ(::symlink((root / "outside").c_str(), (root / "Backup 01-01-2026/deep/link").c_str()), 0);
    ASSERT_EQ(::chmod((root / "Backup 01-01-2026/deep").c_str(), 0555), 0); // a read-only folder copied as it was

    const FolderRemoval removal = removeFolder(root.path(), "Backup 01-01-2026", ".Backup 01-01-2026.removing");

    EXPECT_TRUE(removal.removed) << (removal.failures.empty() ? "" : removal.failures[0].reason);
    EXPECT_FALSE(fs::exists(root / "Backup 01-01-2026"));
    EXPECT_FALSE(fs::exists(root / ".Backup 01-01-2026.removing"));
    EXPECT_EQ(readFile(root / "outside"), "kept");
}

TEST(OldBackupRemoval, AFilesystemMountedInsideIsLeftAloneAndReported)
{
    TempFolder root;
    fs::create_directories(root / "Backup 01-01-2026/mnt");
    drovanta::testing::LoopVolume inner(8);
    if (!inner.mounted())
        GTEST_SKIP() << inner.error();
    writeFile(inner.path() + "/precious", "on another drive");
    const std::string mountPoint = root / "Backup 01-01-2026/mnt";
    ASSERT_EQ(std::system(("mount --bind '" + inner.path() + "' '" + mountPoint + "'").c_str()), 0);

    const FolderRemoval removal = removeFolder(root.path(), "Backup 01-01-2026", ".Backup 01-01-2026.removing");

    EXPECT_FALSE(removal.removed);
    ASSERT_EQ(removal.leftMounted.size(), 1u);
    EXPECT_EQ(readFile(root / ".Backup 01-01-2026.removing/mnt/precious"), "on another drive");
    EXPECT_FALSE(fs::exists(root / "Backup 01-01-2026")) << "no half-removed folder under a backup's name";
    (void)std::system(("umount '" + root / ".Backup 01-01-2026.removing/mnt" + "'").c_str());
}

TEST(OldBackupRemoval, ARemovalKilledAnywhereLeavesNoHalfRemovedBackupAndIsFinishedLater)
{
    TempFolder root;
    const std::string backup = root / "Backup 01-01-2026";
    std::mt19937 random(11);
    for (int round = 0; round < 10; ++round) {
        if (!fs::exists(backup) && !fs::exists(root / ".Backup 01-01-2026.removing")) {
            for (int folder = 0; folder < 8; ++folder) {
                fs::create_directories(backup + "/f" + std::to_string(folder));
                for (int file = 0; file < 250; ++file)
                    writeFile(backup + "/f" + std::to_string(folder) + "/" + std::to_string(file), "x");
            }
        }
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            const bool gone = removeFolder(root.path(), fs::exists(backup) ? "Backup 01-01-2026" : "",
                                           ".Backup 01-01-2026.removing")
                                  .removed;
            ::_exit(gone ? 0 : 1);
        }
        ::usleep(std::uniform_int_distribution<useconds_t>(0, 30'000)(random));
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);

        // Whole under its name, or not under its name at all.
        if (fs::exists(backup)) {
            std::size_t files = 0;
            for (const auto &entry : fs::recursive_directory_iterator(backup))
                files += entry.is_regular_file() ? 1 : 0;
            EXPECT_EQ(files, 2000u) << "round " << round;
        }
    }
    if (fs::exists(root / ".Backup 01-01-2026.removing")) {
        EXPECT_TRUE(removeFolder(root.path(), {}, ".Backup 01-01-2026.removing").removed);
    }
    EXPECT_FALSE(fs::exists(root / ".Backup 01-01-2026.removing"));
}
