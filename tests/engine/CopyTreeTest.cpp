// What a copy keeps on every system: contents, times, permissions, and what
// it leaves out by design. POSIX-only cases are in PosixCopyTreeTest.cpp.
#include "EngineTestSupport.h"

#include "engine/CopyEngine.h"
#include "engine/FaultInjection.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <ostream>
#include <string>

using namespace drovanta::engine;
using namespace drovanta::engine::testing;
namespace fs = std::filesystem;

namespace {

class CopyTree : public EngineTest {
protected:
    CopyTree() { m_target = m_temp / "Backup 01-02-2025/source"; }
    // The copier makes the backup folder; the engine makes only the copy of
    // the top-level folder inside it.
    void SetUp() override
    {
        EngineTest::SetUp();
        makeFolder(m_temp / "Backup 01-02-2025");
    }
};

struct TreeCase {
    unsigned seed;
    unsigned workers;
};

std::string caseName(const TreeCase &tree)
{
    return "Seed" + std::to_string(tree.seed) + "Workers" + std::to_string(tree.workers);
}

void PrintTo(const TreeCase &tree, std::ostream *out)
{
    *out << caseName(tree);
}

class RandomTreeCopy : public CopyTree, public ::testing::WithParamInterface<TreeCase> {};

std::vector<std::string> reportedAll(const std::vector<SkippedItem> &items)
{
    std::vector<std::string> result;
    for (const auto &item : items)
        result.push_back(reported(item.path));
    return result;
}

} // namespace

TEST_P(RandomTreeCopy, CopiesEveryFileLinkAndFolderByteForByteWithTimesAndPermissions)
{
    const TreeStats stats = makeRandomTree(m_source, GetParam().seed);

    const Result result = copyTree(m_source, m_target, GetParam().workers);

    EXPECT_TRUE(result.ok()) << describe(result);
    EXPECT_EQ(result.files, stats.files);
    EXPECT_EQ(result.links, stats.links);
    EXPECT_EQ(result.bytes, stats.bytes);
    EXPECT_EQ(result.folders, stats.folders + 1);
    EXPECT_EQ(compareTrees(m_source, m_target), std::vector<std::string>{});
    EXPECT_EQ(temporaryFiles(m_target), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Seeds, RandomTreeCopy,
                         ::testing::Values(TreeCase{1, 4}, TreeCase{2, 1}, TreeCase{3, 8}, TreeCase{4, 2}),
                         [](const ::testing::TestParamInfo<TreeCase> &info) { return caseName(info.param); });

TEST_F(CopyTree, SkipsTheSystemsBookkeepingFoldersOnlyAtTheDriveRoot)
{
    for (const std::string name : {"lost+found", "System Volume Information", "$RECYCLE.BIN", ".Trash-1000"}) {
        const std::string folder = m_temp / name;
        makeFolder(folder);
        writeFile(folder + "/inside", "x");

        const Result atRoot = copyTree(folder, m_temp / ("atroot-" + name), 4, true);
        EXPECT_TRUE(atRoot.ok()) << describe(atRoot);
        EXPECT_EQ(reportedAll(atRoot.skipped), std::vector<std::string>{reported(folder)});
        EXPECT_FALSE(fs::exists(m_temp / ("atroot-" + name))) << "nothing is created for " << name;

        const Result deeper = copyTree(folder, m_temp / ("deeper-" + name), 4, false);
        EXPECT_TRUE(deeper.ok()) << describe(deeper);
        EXPECT_EQ(deeper.files, 1u) << name;
    }
}

TEST_F(CopyTree, CopyFileCopiesOneFileIntoAFolderAndSkipsSwapFilesAtTheRoot)
{
    writeFile(m_source + "/report.txt", "report");
    setWritable(m_source + "/report.txt", false);
    writeFile(m_source + "/pagefile.sys", "swap");
    const std::string backup = m_temp / "Backup";
    Params params;
    params.target = backup;
    params.atDriveRoot = true;

    params.source = m_source + "/report.txt";
    const Result file = m_engine.copyFile(params, m_progress, m_stop);
    params.source = m_source + "/pagefile.sys";
    const Result swap = m_engine.copyFile(params, m_progress, m_stop);

    EXPECT_TRUE(file.ok()) << describe(file);
    EXPECT_EQ(file.files, 1u);
    EXPECT_EQ(reportedAll(swap.skipped), std::vector<std::string>{reported(m_source + "/pagefile.sys")});
    EXPECT_EQ(compareTrees(m_source, backup, {m_source + "/pagefile.sys"}), std::vector<std::string>{});
}

TEST_F(CopyTree, ReportsAMissingSourceAsAFailureWithTheSystemsReason)
{
    const Result result = copyTree(m_temp / "missing", m_target);

    ASSERT_EQ(result.failures.size(), 1u) << describe(result);
    EXPECT_EQ(reported(result.failures[0].path), reported(m_temp / "missing"));
    EXPECT_EQ(result.failures[0].code, faults::systemError(ENOENT));
    EXPECT_EQ(result.failures[0].reason, systemReason(faults::systemError(ENOENT)));
    EXPECT_FALSE(result.destinationFailed);
}

// With few folders allowed open, a walk goes down a chain itself and closes
// the levels above its deepest two, opening each again on the way back to
// list the rest of it and complete it after its contents.
TEST_F(CopyTree, AChainWalkedWithFewFoldersOpenIsCopiedWholeWithItsFolderTimes)
{
    std::string folder = m_source;
    for (int level = 0; level < 24; ++level) {
        folder += "/d";
        makeFolder(folder);
        writeFile(folder + "/f" + std::to_string(level), std::to_string(level));
    }
    writeFile(m_source + "/top", "top");
    faults::Faults planted;
    planted.folderLimit = 1;
    const faults::ScopedFaults installed(planted);

    const Result result = copy();

    EXPECT_TRUE(result.ok()) << describe(result);
    EXPECT_EQ(result.files, 25u);
    EXPECT_EQ(compareTrees(m_source, m_target), std::vector<std::string>{});
}
