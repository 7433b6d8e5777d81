// The checks of a backup already made, on every system: how it differs from
// its source, the fingerprints of its files, and what a restore would do and
// does with what the user has in its place.
#include "EngineTestSupport.h"

#include "engine/CopyEngine.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

using namespace drovanta::engine;
using namespace drovanta::engine::testing;
namespace fs = std::filesystem;

namespace {

class Checks : public EngineTest {
protected:
    void SetUp() override
    {
        EngineTest::SetUp();
        makeFolder(m_source + "/docs");
        writeFile(m_source + "/docs/letter.txt", "Dear reader", 1'500'000'000, 100);
        writeFile(m_source + "/docs/plan.txt", "step one, step two", 1'500'000'000, 200);
        writeFile(m_source + "/photo.jpg", randomBytes(300'000, 7), 1'500'000'000, 300);
    }

    Comparison compare()
    {
        CompareParams params;
        params.source = m_source;
        params.backup = m_target;
        return m_engine.compare(params, m_stop);
    }
};

// "kind path: detail", one line per difference, for failure messages.
std::string described(const Comparison &comparison)
{
    std::string text = comparison.failure;
    for (const Differing &difference : comparison.differences)
        text += "\n" + std::to_string(static_cast<int>(difference.kind)) + " " + difference.path + ": " +
                difference.detail;
    return text;
}

std::vector<std::string> pathsOf(const Comparison &comparison, Difference kind)
{
    std::vector<std::string> paths;
    for (const Differing &difference : comparison.differences)
        if (difference.kind == kind)
            paths.push_back(difference.path);
    return paths;
}

TEST_F(Checks, ACopyOfARandomTreeIsFoundEqualToItsSource)
{
    makeFolder(m_source + "/tree");
    makeRandomTree(m_source + "/tree", 5);
    ASSERT_TRUE(copy().ok());

    const Comparison comparison = compare();

    EXPECT_TRUE(comparison.failure.empty() && comparison.differences.empty()) << described(comparison);
}

struct Planted {
    std::string name;
    std::function<void(const std::string &source, const std::string &copy)> plant;
    Difference kind;
    std::string path;
};

void PrintTo(const Planted &planted, std::ostream *out)
{
    *out << planted.name;
}

class CompareFinds : public Checks, public ::testing::WithParamInterface<Planted> {};

TEST_P(CompareFinds, ThePlantedDifferenceAsItsKind)
{
    ASSERT_TRUE(copy().ok());
    GetParam().plant(m_source, m_target);

    const Comparison comparison = compare();

    EXPECT_EQ(pathsOf(comparison, GetParam().kind), std::vector<std::string>{GetParam().path}) << described(comparison);
}

INSTANTIATE_TEST_SUITE_P(
    Compare, CompareFinds,
    ::testing::Values(
        Planted{"AByteChangedInTheCopyWithItsSizeAndTimeKept",
                [](const std::string &, const std::string &copy) {
                    writeFile(copy + "/docs/plan.txt", "step one, step 2wo", 1'500'000'000, 200);
                },
                Difference::ContentDecayed, "docs/plan.txt"},
        Planted{"AFileMissingFromTheCopy", [](const std::string &, const std::string &copy) { fs::remove(copy + "/photo.jpg"); },
                Difference::Missing, "photo.jpg"},
        Planted{"AFileOnlyInTheCopy",
                [](const std::string &, const std::string &copy) { writeFile(copy + "/docs/stray.txt", "stray"); },
                Difference::Extra, "docs/stray.txt"},
        Planted{"AFileRewrittenInTheSource",
                [](const std::string &source, const std::string &) {
                    writeFile(source + "/docs/letter.txt", "Dear reader, again", 1'600'000'000, 0);
                },
                Difference::SourceChanged, "docs/letter.txt"}),
    [](const ::testing::TestParamInfo<Planted> &info) { return info.param.name; });

// A file that is the very file of the earlier backup (another name of it)
// takes that backup's recorded fingerprint without being read; a copy with
// the same content is read, and hashes like any file of that content.
TEST_F(Checks, FingerprintsTakeTheEarlierBackupsVeryFileUnreadAndReadTheRest)
{
    const std::string earlier = m_temp / "earlier";
    makeFolder(earlier);
    makeFolder(earlier + "/docs");
    writeFile(earlier + "/docs/shared.txt", "same bytes");
    writeFile(earlier + "/docs/copied.txt", "same bytes");
    fs::create_hard_link(earlier + "/docs/shared.txt", m_source + "/docs/shared.txt");
    writeFile(m_source + "/docs/copied.txt", "same bytes");
    FingerprintParams params;
    params.folder = m_source;
    params.earlier = earlier;
    params.earlierFingerprints = {{"docs/shared.txt", {10, std::string(32, 'e')}},
                                  {"docs/copied.txt", {10, std::string(32, 'f')}}};

    const Fingerprints fingerprints = m_engine.fingerprint(params, m_stop);

    ASSERT_TRUE(fingerprints.failure.empty()) << fingerprints.failure;
    EXPECT_EQ(fingerprints.files.size(), 5u);
    EXPECT_EQ(fingerprints.filesReused, 1u);
    EXPECT_EQ(fingerprints.files.at("docs/shared.txt").hash, std::string(32, 'e'));
    const Fingerprint copied = fingerprints.files.at("docs/copied.txt");
    EXPECT_EQ(copied.size, 10u);
    EXPECT_NE(copied.hash, std::string(32, 'f'));
    EXPECT_EQ(copied.hash.size(), 32u);
    EXPECT_NE(copied.hash, fingerprints.files.at("docs/letter.txt").hash);
}

class RestoreOver : public Checks, public ::testing::WithParamInterface<bool> {};

// The backup (the source here) restored into a folder that holds a newer
// letter and the plan as it is in the backup: the plan says what the
// restore then does.
TEST_P(RestoreOver, ThePlanSaysWhatTheRestoreAddsAndKeepsOrReplaces)
{
    const bool keep = GetParam();
    makeFolder(m_target);
    makeFolder(m_target + "/docs");
    writeFile(m_target + "/docs/letter.txt", "Dear reader, newer", 1'700'000'000, 0);
    writeFile(m_target + "/docs/plan.txt", "step one, step two", 1'500'000'000, 200);
    Params params;
    params.source = m_source;
    params.target = m_target;
    params.keepExisting = keep;

    const RestorePlan plan = m_engine.planRestore(params, m_stop);
    const Result result = m_engine.copyTree(params, m_progress, m_stop);

    ASSERT_TRUE(plan.failure.empty()) << plan.failure;
    const std::string letter = reported(m_target + "/docs/letter.txt");
    EXPECT_EQ(plan.items, (std::vector<PlannedItem>{{keep ? RestoreAction::Keep : RestoreAction::Replace, letter},
                                                    {RestoreAction::Add, reported(m_target + "/photo.jpg")}}));
    EXPECT_TRUE(result.ok()) << describe(result);
    EXPECT_EQ(result.unchanged, 1u);
    EXPECT_EQ(readFile(m_target + "/docs/letter.txt"), keep ? "Dear reader, newer" : "Dear reader");
    EXPECT_EQ(result.kept, keep ? std::vector<std::string>{letter} : std::vector<std::string>{});
    EXPECT_EQ(readFile(m_target + "/photo.jpg"), randomBytes(300'000, 7));
}

INSTANTIATE_TEST_SUITE_P(Restore, RestoreOver, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool> &info) {
                             return info.param ? "KeepingWhatDiffers" : "Overwriting";
                         });

} // namespace
