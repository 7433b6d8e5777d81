// Running again onto an earlier backup, POSIX only: links planted in the
// target, and the time comparison at each filesystem's precision.
#include "EngineTestSupport.h"

#include "engine/CopyEngine.h"
#include "engine/PosixSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

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

TEST_F(PosixRerun, ALargeFolderGetsExactlyItsChangedFilesCopiedAndThenItsTimes)
{
    const std::string folder = m_source + "/many";
    makeFolder(folder);
    constexpr int count = 100; // the files of several rerun jobs
    const auto file = [&](const std::string &root, int i) { return root + "/many/f" + std::to_string(i); };
    for (int i = 0; i < count; ++i)
        writeFile(file(m_source, i), "first " + std::to_string(i));
    ASSERT_TRUE(copy().ok());
    const std::set<int> changed{0, 31, 32, 63, 64, 99};
    std::vector<std::string> before;
    for (int i = 0; i < count; ++i)
        before.push_back(fileIdentity(file(m_target, i)));
    for (const int i : changed)
        writeFile(file(m_source, i), "second day's " + std::to_string(i), 1'600'000'100);
    setTimes(folder, 1'700'000'000, 0, 1'650'000'000, 987'654'321);

    const Result result = copy();

    EXPECT_TRUE(result.ok()) << describe(result);
    EXPECT_EQ(result.files, changed.size());
    EXPECT_EQ(result.unchanged, count - changed.size());
    for (int i = 0; i < count; ++i) {
        EXPECT_EQ(fileIdentity(file(m_target, i)) != before[static_cast<std::size_t>(i)], changed.contains(i))
            << "f" << i;
    }
    EXPECT_EQ(compareTrees(m_source, m_target), std::vector<std::string>{});
    // Set after the last changed file was renamed into place, which moves it.
    struct stat source {};
    struct stat copied {};
    ASSERT_EQ(::stat(folder.c_str(), &source), 0);
    ASSERT_EQ(::stat((m_target + "/many").c_str(), &copied), 0);
    EXPECT_EQ(copied.st_mtim.tv_sec, source.st_mtim.tv_sec);
    EXPECT_EQ(copied.st_mtim.tv_nsec, source.st_mtim.tv_nsec);
}
