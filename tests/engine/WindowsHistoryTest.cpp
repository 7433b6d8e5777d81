// Backups that share unchanged files with the day before through hard links,
// and never change the earlier backup's files.
#include "EngineTestSupport.h"
#include "WindowsTestSupport.h"

#include "engine/CopyEngine.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <string>

using namespace drovanta::engine;
using namespace drovanta::engine::testing;

namespace {

bool sameFile(const BY_HANDLE_FILE_INFORMATION &a, const BY_HANDLE_FILE_INFORMATION &b)
{
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh
        && a.nFileIndexLow == b.nFileIndexLow;
}

// What a later backup must not change of an earlier file.
std::string factsOf(const std::string &path)
{
    const auto info = informationOf(path);
    return std::to_string(info.dwFileAttributes) + " " + std::to_string(info.ftLastWriteTime.dwHighDateTime) + ":"
        + std::to_string(info.ftLastWriteTime.dwLowDateTime) + " " + readFile(path);
}

class WindowsHistory : public EngineTest {
protected:
    void SetUp() override
    {
        EngineTest::SetUp();
        makeFolder(m_destination);
        // Where the system cannot give a file a second name there is nothing to share.
        writeFile(m_destination + "/probe", "probe");
        if (!::CreateHardLinkW(widePath(m_destination + "/probe-2").c_str(), widePath(m_destination + "/probe").c_str(),
                               nullptr))
            GTEST_SKIP() << "this system cannot make hard links here (error " << ::GetLastError() << ")";
        std::filesystem::remove(m_destination + "/probe-2");
        std::filesystem::remove(m_destination + "/probe");
    }

    Result backup(const std::string &day, const std::string &earlierDay = {})
    {
        Params params;
        params.source = m_source;
        params.target = tree(day);
        params.sourceRoot = m_temp.path();
        params.targetRoot = m_destination;
        if (!earlierDay.empty())
            params.previousTarget = tree(earlierDay);
        std::filesystem::create_directories(m_destination + "/Backup " + day);
        return m_engine.copyTree(params, m_progress, m_stop);
    }

    std::string tree(const std::string &day) const { return m_destination + "/Backup " + day + "/tree"; }

    std::string m_destination = m_temp / "destination";
};

TEST_F(WindowsHistory, AnUnchangedFileSharesTheEarlierCopyAChangedOneIsCopiedAndTheEarlierStaysAsItWas)
{
    makeFolder(m_source + "/docs");
    writeFile(m_source + "/keep", "kept as it is");
    writeFile(m_source + "/docs/keep", "also kept");
    writeFile(m_source + "/docs/change", "first version");
    ASSERT_TRUE(backup("1").ok());
    const std::string before = factsOf(tree("1") + "/docs/change") + factsOf(tree("1") + "/keep");
    writeFile(m_source + "/docs/change", "second version, longer", 1'700'000'000);

    const Result result = backup("2", "1");

    ASSERT_TRUE(result.ok()) << describe(result);
    EXPECT_EQ(result.shared, 2u) << describe(result);
    EXPECT_EQ(result.files, 1u) << describe(result);
    EXPECT_FALSE(result.sharingUnavailable);
    for (const char *name : {"/keep", "/docs/keep"}) {
        const auto today = informationOf(tree("2") + name);
        EXPECT_TRUE(sameFile(today, informationOf(tree("1") + name))) << name;
        EXPECT_EQ(today.nNumberOfLinks, 2u) << name;
    }
    EXPECT_FALSE(sameFile(informationOf(tree("2") + "/docs/change"), informationOf(tree("1") + "/docs/change")));
    EXPECT_EQ(readFile(tree("2") + "/docs/change"), "second version, longer");
    EXPECT_EQ(factsOf(tree("1") + "/docs/change") + factsOf(tree("1") + "/keep"), before);
    EXPECT_TRUE(compareTrees(m_source, tree("2")).empty());
}

// A rerun replaces today's name of a shared read-only file whose source
// changed (into another file, or into a folder): the attribute belongs to
// the file, and the earlier backup's name must keep it. (Wine replaces a
// read-only file without complaint; Windows refuses until the attribute is
// gone.)
class SharedReadOnly : public WindowsHistory, public ::testing::WithParamInterface<bool> {};

TEST_P(SharedReadOnly, LosingTodaysNameLeavesTheEarlierCopyReadOnly)
{
    const bool becomesFolder = GetParam();
    writeFile(m_source + "/fixed", "first version");
    setWritable(m_source + "/fixed", false);
    ASSERT_TRUE(backup("1").ok());
    ASSERT_EQ(backup("2", "1").shared, 1u);
    const std::string before = factsOf(tree("1") + "/fixed");
    setWritable(m_source + "/fixed", true);
    if (becomesFolder) {
        std::filesystem::remove(m_source + "/fixed");
        makeFolder(m_source + "/fixed");
        writeFile(m_source + "/fixed/inside", "inside");
    } else {
        writeFile(m_source + "/fixed", "second version", 1'700'000'000);
        setWritable(m_source + "/fixed", false);
    }

    const Result rerun = backup("2", "1");

    ASSERT_TRUE(rerun.ok()) << describe(rerun);
    EXPECT_EQ(rerun.files, 1u) << describe(rerun);
    EXPECT_TRUE(compareTrees(m_source, tree("2")).empty());
    EXPECT_EQ(factsOf(tree("1") + "/fixed"), before);
    EXPECT_TRUE(informationOf(tree("1") + "/fixed").dwFileAttributes & FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(informationOf(tree("1") + "/fixed").nNumberOfLinks, 1u);
}

INSTANTIATE_TEST_SUITE_P(Becomes, SharedReadOnly, ::testing::Bool(),
                         [](const auto &info) { return std::string(info.param ? "AFolder" : "AnotherFile"); });

TEST_F(WindowsHistory, NamesOfOneFileInTwoTopLevelFoldersAndAtTheTopStayOneFileInABackupRun)
{
    makeFolder(m_source + "/a");
    makeFolder(m_source + "/b");
    writeFile(m_source + "/a/f", "shared data");
    for (const char *name : {"/b/f", "/top"})
        ASSERT_TRUE(::CreateHardLinkW(widePath(m_source + name).c_str(), widePath(m_source + "/a/f").c_str(), nullptr));
    const std::string folder = m_destination + "/Backup 1";
    makeFolder(folder);
    const auto run = m_engine.beginRun({m_destination, folder, {}});
    const auto item = [&](const std::string &name, const std::string &target) {
        Params params;
        params.source = m_source + name;
        params.target = target;
        params.sourceRoot = m_source;
        params.targetRoot = m_destination;
        params.atDriveRoot = true;
        return params;
    };
    Result result = run->copyTree(item("/a", folder + "/a"), m_progress, m_stop);
    result.merge(run->copyTree(item("/b", folder + "/b"), m_progress, m_stop));
    result.merge(run->copyFile(item("/top", folder), m_progress, m_stop));
    result.merge(run->sync());

    ASSERT_TRUE(result.ok()) << describe(result);
    const auto first = informationOf(folder + "/a/f");
    EXPECT_EQ(first.nNumberOfLinks, 3u);
    for (const char *name : {"/b/f", "/top"})
        EXPECT_TRUE(sameFile(informationOf(folder + name), first)) << name;
}

} // namespace
