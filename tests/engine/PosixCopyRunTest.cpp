// One backup run through the engine's run object: every top-level item of a
// drive goes into one backup folder that the run holds open.
#include "PosixTestSupport.h"

#include "engine/CopyEngine.h"
#include "engine/FaultInjection.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

using namespace drovanta::engine;
using namespace drovanta::engine::testing;

namespace {

class CopyRunTest : public ::testing::Test {
protected:
    void SetUp() override { makeFolder(m_source); }

    // Backs up the source's top-level folders and files into `folder` as
    // the copier does: one call of the run per item, the files announced
    // first. With `stopAfter`, the stop is raised once that many files'
    // calls have returned, and the calls for the rest never come.
    Result backUp(const std::string &folder, const std::vector<std::string> &folders,
                  const std::vector<std::string> &files, const std::string &previous = {},
                  std::size_t stopAfter = SIZE_MAX)
    {
        std::filesystem::create_directories(folder);
        const auto run = m_engine.beginRun({m_temp.path(), folder, previous});
        Result total;
        for (const auto &name : folders)
            total.merge(run->copyTree(params(m_source + "/" + name, folder + "/" + name), m_progress, m_stop));
        std::vector<Params> announced;
        for (const auto &name : files)
            announced.push_back(params(m_source + "/" + name, folder));
        run->expectFiles(announced, m_progress, m_stop);
        for (std::size_t i = 0; i < files.size() && i < stopAfter; ++i)
            total.merge(run->copyFile(announced[i], m_progress, m_stop));
        if (stopAfter < files.size())
            m_stop = true;
        total.merge(run->settleFiles());
        total.merge(run->sync());
        return total;
    }

    Params params(const std::string &source, const std::string &target) const
    {
        Params params;
        params.source = source;
        params.target = target;
        params.sourceRoot = m_source;
        params.targetRoot = m_temp.path();
        params.atDriveRoot = true;
        return params;
    }

    TempFolder m_temp;
    std::string m_source = m_temp / "source";
    NativeCopyEngine m_engine;
    NoProgress m_progress;
    std::atomic<bool> m_stop{false};
};

struct LinkCase {
    const char *name;
    bool dayTwo; // a second day's run, after the file changed
};

void PrintTo(const LinkCase &value, std::ostream *out)
{
    *out << value.name;
}

class HardLinksAcrossItems : public CopyRunTest, public ::testing::WithParamInterface<LinkCase> {};

TEST_P(HardLinksAcrossItems, NamesOfOneFileInTwoTopLevelFoldersAndAtTheTopStayOneFile)
{
    makeFolder(m_source + "/a");
    makeFolder(m_source + "/b");
    writeFile(m_source + "/a/f", "shared data");
    ASSERT_EQ(::link((m_source + "/a/f").c_str(), (m_source + "/b/f").c_str()), 0);
    ASSERT_EQ(::link((m_source + "/a/f").c_str(), (m_source + "/top").c_str()), 0);
    std::string folder = m_temp / "Backup 01-01-2026";
    std::string previous;
    if (GetParam().dayTwo) {
        ASSERT_TRUE(backUp(folder, {"a", "b"}, {"top"}).ok());
        writeFile(m_source + "/a/f", "changed data", 1'700'000'000);
        previous = folder;
        folder = m_temp / "Backup 01-02-2026";
    }

    const Result result = backUp(folder, {"a", "b"}, {"top"}, previous);

    ASSERT_TRUE(result.ok());
    const struct stat first = statOf(folder + "/a/f");
    for (const char *name : {"/b/f", "/top"}) {
        const struct stat other = statOf(folder + name);
        EXPECT_EQ(other.st_ino, first.st_ino) << name;
    }
    EXPECT_EQ(first.st_nlink, 3u);
    EXPECT_EQ(readFile(folder + "/top"), GetParam().dayTwo ? "changed data" : "shared data");
}

INSTANTIATE_TEST_SUITE_P(Runs, HardLinksAcrossItems,
                         ::testing::Values(LinkCase{"FirstCopy", false}, LinkCase{"DayTwoAfterAChange", true}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(CopyRunTest, ARerunOfManyTopLevelFilesListsTheBackupFolderOnceNotOncePerFile)
{
    std::vector<std::string> names;
    // The time such a rerun took grew with the square of the files' number:
    // each file's call listed the whole folder again.
    for (int i = 0; i < 3000; ++i) {
        names.push_back("photo" + std::to_string(i) + ".jpg");
        writeFile(m_source + "/" + names.back(), "x");
    }
    const std::string folder = m_temp / "Backup 01-01-2026";
    ASSERT_TRUE(backUp(folder, {}, names).ok());

    faults::Faults counting;
    faults::ScopedFaults planted(counting);
    const Result rerun = backUp(folder, {}, names);

    EXPECT_TRUE(rerun.ok());
    EXPECT_EQ(rerun.unchanged, names.size());
    EXPECT_LE(counting.targetListings.load(), 2u);
}

TEST_F(CopyRunTest, TopLevelFilesCopiedAheadOfAStopAreAllReportedAndWhole)
{
    std::vector<std::string> names;
    for (int i = 0; i < 400; ++i) {
        names.push_back("file" + std::to_string(i));
        writeFile(m_source + "/" + names.back(), std::string(4096 + i, 'a' + i % 26));
    }
    const std::string folder = m_temp / "Backup 01-01-2026";

    const Result result = backUp(folder, {}, names, {}, 10);

    EXPECT_TRUE(result.stopped);
    EXPECT_TRUE(result.failures.empty());
    std::uint64_t onDisk = 0;
    for (const auto &entry : std::filesystem::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        ASSERT_EQ(readFile(entry.path().string()), readFile(m_source + "/" + name)) << name;
        ++onDisk;
    }
    EXPECT_GE(onDisk, 10u);
    EXPECT_EQ(result.files, onDisk); // none copied without being counted
}

// A top-level folder is made under a temporary name and takes its own only
// once complete, also when the run is stopped half way: a killed run leaves
// no half-made folder under an item's name.
class TopLevelFolderNamedWhenComplete : public CopyRunTest, public ::testing::WithParamInterface<bool> {};

TEST_P(TopLevelFolderNamedWhenComplete, NotBefore)
{
    const bool stopped = GetParam();
    std::filesystem::create_directories(m_source + "/top/sub");
    for (int i = 0; i < 20; ++i)
        writeFile(m_source + "/top/sub/file" + std::to_string(i), std::string(1000 + i, 'a' + i));
    const std::string folder = m_temp / "Backup 01-01-2026";
    std::atomic<int> namedTooSoon{0};
    faults::Faults watch;
    watch.dataCopied = [&](const std::string &, int) {
        namedTooSoon += std::filesystem::exists(folder + "/top") ? 1 : 0;
        if (stopped)
            m_stop = true;
    };
    faults::ScopedFaults planted(watch);

    const Result result = backUp(folder, {"top"}, {});

    EXPECT_EQ(namedTooSoon.load(), 0);
    EXPECT_EQ(result.stopped, stopped);
    std::size_t whole = 0;
    for (const auto &entry : std::filesystem::directory_iterator(folder + "/top/sub")) {
        ASSERT_EQ(readFile(entry.path().string()), readFile(m_source + "/top/sub/" + entry.path().filename().string()));
        ++whole;
    }
    EXPECT_EQ(whole, result.files);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 1);
}

INSTANTIATE_TEST_SUITE_P(Runs, TopLevelFolderNamedWhenComplete, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "Stopped" : "Finished"; });

TEST_F(CopyRunTest, AFolderAKilledRunLeftUnnamedIsRemovedByTheNextRun)
{
    makeFolder(m_source + "/top");
    writeFile(m_source + "/top/a", "whole");
    const std::string folder = m_temp / "Backup 01-01-2026";
    const std::string leftover = folder + "/.drovanta-tmp-0123456789abcdef";
    std::filesystem::create_directories(leftover);
    writeFile(leftover + "/a", "ha");

    const Result result = backUp(folder, {"top"}, {});

    EXPECT_TRUE(result.ok());
    EXPECT_FALSE(std::filesystem::exists(leftover));
    EXPECT_EQ(readFile(folder + "/top/a"), "whole");
}

TEST_F(CopyRunTest, ABackupFolderRemovedMidRunFailsTheDestinationInsteadOfWritingElsewhere)
{
    writeFile(m_source + "/one", "1");
    writeFile(m_source + "/two", "2");
    const std::string folder = m_temp / "Backup 01-01-2026";
    makeFolder(folder);
    const auto run = m_engine.beginRun({m_temp.path(), folder, {}});
    ASSERT_TRUE(run->copyFile(params(m_source + "/one", folder), m_progress, m_stop).ok());
    // What a path now names is another folder: the drive's was pulled.
    ASSERT_EQ(::rename(folder.c_str(), (m_temp / "moved").c_str()), 0);
    makeFolder(folder);

    const Result second = run->copyFile(params(m_source + "/two", folder), m_progress, m_stop);

    EXPECT_TRUE(second.destinationFailed);
    EXPECT_TRUE(run->sync().destinationFailed);
    EXPECT_FALSE(std::filesystem::exists(folder + "/two"));
}

} // namespace
