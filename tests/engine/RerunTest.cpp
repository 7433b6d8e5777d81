// Running again onto an earlier backup, on every system: unchanged files
// stay as they are, changed ones are replaced whole, leftovers are removed
// while source items that bear a temporary name are copied and kept.
#include "EngineTestSupport.h"

#include "engine/CopyEngine.h"
#include "engine/FaultInjection.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>

using namespace drovanta::engine;
using namespace drovanta::engine::testing;

namespace {

using Rerun = EngineTest;

} // namespace

TEST_F(Rerun, LeavesUnchangedFilesAloneAndCopiesOnesWhoseTimeOrSizeChanged)
{
    const TreeStats stats = makeRandomTree(m_source, 21, 2);
    writeFile(m_source + "/same-size", "aaaa", 1'600'000'000, 100);
    writeFile(m_source + "/new-size", "aaaa");
    ASSERT_TRUE(copy().ok());
    const std::string before = fileIdentity(m_target + "/folder0/file0.bin");

    // Same size, the smallest step later the system keeps: a change a coarser
    // check would miss.
    writeFile(m_source + "/same-size", "bbbb", 1'600'000'000, 100 + finestTimeStep());
    writeFile(m_source + "/new-size", "aaaaa");
    const Result result = copy();

    EXPECT_TRUE(result.ok()) << describe(result);
    EXPECT_EQ(result.files, 2u);
    EXPECT_EQ(result.unchanged, stats.files + stats.links);
    EXPECT_EQ(compareTrees(m_source, m_target), std::vector<std::string>{});
    EXPECT_EQ(fileIdentity(m_target + "/folder0/file0.bin"), before) << "neither replaced nor rewritten";
}

TEST_F(Rerun, ReplacesAnExistingCopyOnlyOnceItsReplacementIsComplete)
{
    writeFile(m_source + "/document", std::string(300 * 1024, 'n'), 1'700'000'000);
    makeFolder(m_target);
    writeFile(m_target + "/document", "the earlier backup", 1'600'000'000);
    const std::string earlier = fileIdentity(m_target + "/document");

    faults::Faults planted;
    planted.readError = [](const std::string &path) {
        return std::filesystem::path(path).filename() == "document" ? EIO : 0;
    };
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
    EXPECT_NE(fileIdentity(m_target + "/document"), earlier) << "replaced by rename, not rewritten in place";
}

TEST_F(Rerun, ReplacesAReadOnlyCopyOfAnEarlierBackup)
{
    writeFile(m_source + "/frozen", "new content", 1'700'000'000);
    setWritable(m_source + "/frozen", false);
    makeFolder(m_target);
    writeFile(m_target + "/frozen", "old", 1'600'000'000);
    setWritable(m_target + "/frozen", false);

    const Result result = copy();

    EXPECT_TRUE(result.ok()) << describe(result);
    EXPECT_EQ(readFile(m_target + "/frozen"), "new content");
    EXPECT_EQ(compareTrees(m_source, m_target), std::vector<std::string>{});
}

TEST_F(Rerun, RemovesLeftoversOfAnInterruptedRunButCopiesAndKeepsSourceItemsNamedLikeThem)
{
    makeRandomTree(m_source, 5, 1);
    const std::string named = ".drovanta-tmp-cccccccccccccccc";
    writeFile(m_source + "/" + named, "a source file with a temporary name");
    writeFile(m_source + "/folder0/.drovanta-tmp-x", "a source file with the prefix");
    const Result first = copy();
    ASSERT_TRUE(first.ok()) << describe(first);
    writeFile(m_target + "/.drovanta-tmp-aaaaaaaaaaaaaaaa", "partial");
    writeFile(m_target + "/folder0/.drovanta-tmp-bbbbbbbbbbbbbbbb", "partial");

    const Result result = copy();

    EXPECT_TRUE(result.ok()) << describe(result);
    EXPECT_TRUE(result.skipped.empty()) << describe(result);
    EXPECT_EQ(temporaryFiles(m_target).size(), 1u) << "only the source's own " << named;
    EXPECT_EQ(compareTrees(m_source, m_target), std::vector<std::string>{});
}

TEST_F(Rerun, CopyFileCopiesAFileNamedLikeATemporaryOneAndARerunKeepsIt)
{
    const std::string named = ".drovanta-tmp-dddddddddddddddd";
    writeFile(m_source + "/" + named, "a root file with a temporary name");
    Params params;
    params.source = m_source + "/" + named;
    params.target = m_target;

    const Result first = m_engine.copyFile(params, m_progress, m_stop);
    const Result again = m_engine.copyFile(params, m_progress, m_stop);

    EXPECT_EQ(first.files, 1u) << describe(first);
    EXPECT_TRUE(again.ok()) << describe(again);
    EXPECT_EQ(again.unchanged, 1u) << describe(again);
    EXPECT_EQ(readFile(m_target + "/" + named), "a root file with a temporary name");
}

TEST_F(Rerun, MergesIntoAReadOnlyFolderOfAnEarlierBackup)
{
    makeFolder(m_source + "/locked");
    writeFile(m_source + "/locked/a", "a");
    setWritable(m_source + "/locked", false);
    ASSERT_TRUE(copy().ok());
    setWritable(m_source + "/locked", true);
    writeFile(m_source + "/locked/b", "b");
    setWritable(m_source + "/locked", false);

    const Result result = copy();

    EXPECT_TRUE(result.ok()) << describe(result);
    EXPECT_EQ(compareTrees(m_source, m_target), std::vector<std::string>{});
}
