// Running again onto an earlier backup, POSIX only: links planted in the
// target, and the time comparison at each filesystem's precision.
#include "EngineTestSupport.h"

#include "backup/engine/CopyEngine.h"
#include "backup/engine/PosixSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace drovanta::engine;
using namespace drovanta::engine::testing;

namespace {

using PosixRerun = EngineTest;

} // namespace

TEST_F(PosixRerun, ReplacesALinkPlantedAtATargetNameWithoutTouchingWhatItPointsTo)
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

TEST_F(PosixRerun, LeavesAFolderAloneWhoseOwnerModeAndModificationTimeMatch)
{
    ASSERT_EQ(::mkdir((m_source + "/photos").c_str(), 0750), 0);
    writeFile(m_source + "/photos/one", "photo");
    ASSERT_TRUE(copy().ok());
    // Listing a folder moves its access time; that alone is no change.
    const timespec read[2] = {{1'700'000'000, 0}, {0, UTIME_OMIT}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (m_source + "/photos").c_str(), read, 0), 0);
    struct stat before {};
    ASSERT_EQ(::stat((m_target + "/photos").c_str(), &before), 0);
    ::usleep(20'000); // a rewrite would move the change time on

    const Result result = copy();

    EXPECT_TRUE(result.ok()) << describe(result);
    struct stat after {};
    ASSERT_EQ(::stat((m_target + "/photos").c_str(), &after), 0);
    EXPECT_EQ(after.st_ctim.tv_sec, before.st_ctim.tv_sec);
    EXPECT_EQ(after.st_ctim.tv_nsec, before.st_ctim.tv_nsec);
}
