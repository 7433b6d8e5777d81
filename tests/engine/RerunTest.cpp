// Running again onto an earlier backup: unchanged files stay as they are,
// changed ones are replaced whole, stray links and leftovers are dealt with.
#include "EngineTestSupport.h"

#include "backup/engine/CopyEngine.h"
#include "backup/engine/FaultInjection.h"
#include "backup/engine/PosixSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

using namespace drovanta::engine;
using namespace drovanta::engine::testing;

namespace {

class Rerun : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(::mkdir(m_source.c_str(), 0755), 0); }

    Result copy()
    {
        Params params;
        params.source = m_source;
        params.target = m_target;
        return m_engine.copyTree(params, m_progress, m_stop);
    }

    TempFolder m_temp;
    std::string m_source = m_temp / "source";
    std::string m_target = m_temp / "target";
    NativeCopyEngine m_engine;
    NoProgress m_progress;
    std::atomic<bool> m_stop{false};
};

} // namespace

TEST_F(Rerun, LeavesUnchangedFilesAloneAndCopiesOnesWhoseTimeOrSizeChanged)
{
    const TreeStats stats = makeRandomTree(m_source, 21, 2);
    writeFile(m_source + "/same-size", "aaaa", 0644, 1'600'000'000, 100);
    writeFile(m_source + "/new-size", "aaaa");
    ASSERT_TRUE(copy().ok());
    const struct stat before = statOf(m_target + "/folder0/file0.bin");

    // Same size, one nanosecond later: a change a coarser check would miss.
    writeFile(m_source + "/same-size", "bbbb", 0644, 1'600'000'000, 101);
    writeFile(m_source + "/new-size", "aaaaa");
    const Result result = copy();

    EXPECT_TRUE(result.ok()) << describe(result);
    EXPECT_EQ(result.files, 2u);
    EXPECT_EQ(result.unchanged, stats.files + stats.links);
    EXPECT_EQ(compareTrees(m_source, m_target), std::vector<std::string>{});
    const struct stat after = statOf(m_target + "/folder0/file0.bin");
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_ctim.tv_sec, before.st_ctim.tv_sec);
    EXPECT_EQ(after.st_ctim.tv_nsec, before.st_ctim.tv_nsec);
}

TEST_F(Rerun, ReplacesAnExistingCopyOnlyOnceItsReplacementIsComplete)
{
    writeFile(m_source + "/document", std::string(300 * 1024, 'n'), 0644, 1'700'000'000);
    ASSERT_EQ(::mkdir(m_target.c_str(), 0755), 0);
    writeFile(m_target + "/document", "the earlier backup", 0644, 1'600'000'000);
    const ino_t earlierInode = statOf(m_target + "/document").st_ino;

    faults::Faults planted;
    planted.readError = [](const std::string &path) { return path.ends_with("/document") ? EIO : 0; };
    Result failed;
    {
        faults::ScopedFaults scope(planted);
        failed = copy();
    }
    EXPECT_EQ(failed.failures.size(), 1u) << describe(failed);
    EXPECT_EQ(readFile(m_target + "/document"), "the earlier backup");
    EXPECT_EQ(temporaryFiles(m_target), std::vector<std::string>{});

    const Result result = copy();

    EXPECT_TRUE(result.ok()) << describe(result);
    EXPECT_EQ(readFile(m_target + "/document"), std::string(300 * 1024, 'n'));
    EXPECT_NE(statOf(m_target + "/document").st_ino, earlierInode) << "replaced by rename, not rewritten in place";
}

TEST_F(Rerun, ReplacesALinkPlantedAtATargetNameWithoutTouchingWhatItPointsTo)
{
    writeFile(m_source + "/notes", "source notes");
    ASSERT_EQ(::mkdir((m_source + "/photos").c_str(), 0755), 0);
    writeFile(m_source + "/photos/one", "photo");
    const std::string outside = m_temp / "outside";
    ASSERT_EQ(::mkdir(outside.c_str(), 0755), 0);
    writeFile(outside + "/victim", "must stay");
    ASSERT_EQ(::mkdir(m_target.c_str(), 0755), 0);
    ASSERT_EQ(::symlink((outside + "/victim").c_str(), (m_target + "/notes").c_str()), 0);
    ASSERT_EQ(::symlink(outside.c_str(), (m_target + "/photos").c_str()), 0);

    const Result result = copy();

    EXPECT_TRUE(result.ok()) << describe(result);
    EXPECT_EQ(readFile(outside + "/victim"), "must stay");
    EXPECT_EQ(::access((outside + "/one").c_str(), F_OK), -1) << "the folder link was not followed";
    EXPECT_EQ(compareTrees(m_source, m_target), std::vector<std::string>{});
}

TEST_F(Rerun, RemovesTemporaryFilesLeftByAnInterruptedRun)
{
    makeRandomTree(m_source, 5, 1);
    ASSERT_TRUE(copy().ok());
    writeFile(m_target + "/.drovanta-tmp-aaaaaaaaaaaaaaaa", "partial");
    writeFile(m_target + "/folder0/.drovanta-tmp-bbbbbbbbbbbbbbbb", "partial");

    const Result result = copy();

    EXPECT_TRUE(result.ok()) << describe(result);
    EXPECT_EQ(temporaryFiles(m_target), std::vector<std::string>{});
    EXPECT_EQ(compareTrees(m_source, m_target), std::vector<std::string>{});
}

TEST_F(Rerun, MergesIntoAReadOnlyFolderOfAnEarlierBackup)
{
    ASSERT_EQ(::mkdir((m_source + "/locked").c_str(), 0755), 0);
    writeFile(m_source + "/locked/a", "a");
    ASSERT_EQ(::chmod((m_source + "/locked").c_str(), 0555), 0);
    ASSERT_TRUE(copy().ok());
    ASSERT_EQ(::chmod((m_source + "/locked").c_str(), 0755), 0);
    writeFile(m_source + "/locked/b", "b");
    ASSERT_EQ(::chmod((m_source + "/locked").c_str(), 0555), 0);

    const Result result = copy();

    EXPECT_TRUE(result.ok()) << describe(result);
    EXPECT_EQ(compareTrees(m_source, m_target), std::vector<std::string>{});
}

TEST(ModificationTimeComparison, ComparesAtTheCoarserPrecisionAndWithTwoSecondsToleranceOnFat)
{
    using drovanta::engine::posix::sameModificationTime;
    const timespec t{1'600'000'000, 500'000'000};
    EXPECT_TRUE(sameModificationTime(t, t, 1));
    EXPECT_FALSE(sameModificationTime(t, {1'600'000'000, 500'000'001}, 1));
    EXPECT_TRUE(sameModificationTime(t, {1'600'000'000, 500'000'099}, 100));
    EXPECT_FALSE(sameModificationTime(t, {1'600'000'000, 500'000'100}, 100));
    EXPECT_TRUE(sameModificationTime(t, {1'600'000'000, 0}, 1'000'000'000));
    EXPECT_FALSE(sameModificationTime(t, {1'600'000'001, 0}, 1'000'000'000));
    EXPECT_TRUE(sameModificationTime(t, {1'600'000'002, 0}, 2'000'000'000));
    EXPECT_TRUE(sameModificationTime(t, {1'599'999'999, 0}, 2'000'000'000));
    EXPECT_FALSE(sameModificationTime(t, {1'600'000'003, 0}, 2'000'000'000));
}
