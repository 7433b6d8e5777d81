// A source that does not hold still: a file rewritten while it is copied, a
// stop in the middle of a large file, attributes changed alone, and an
// earlier backup that holds the live file itself.
#include "PosixTestSupport.h"

#include "engine/CopyEngine.h"
#include "engine/FaultInjection.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

using namespace drovanta::engine;
using namespace drovanta::engine::testing;

namespace {

struct Rewrites {
    const char *name;
    int times; // how many of the copy's attempts find the file changed
};

void PrintTo(const Rewrites &rewrites, std::ostream *out)
{
    *out << rewrites.name;
}

class ChangingFile : public EngineTest, public ::testing::WithParamInterface<Rewrites> {};

} // namespace

TEST_P(ChangingFile, IsCopiedAgainAndReportedWhenItKeepsChanging)
{
    writeFile(m_source + "/log", randomBytes(300'000, 1));
    faults::Faults faults;
    faults.dataCopied = [&](const std::string &path, int attempt) {
        if (attempt < GetParam().times)
            writeFile(path, randomBytes(200'000 + 1000 * static_cast<std::size_t>(attempt), 2 + attempt),
                      1'700'000'000 + attempt);
    };
    faults::ScopedFaults planted(faults);

    const Result result = copy();

    // The copy is whole: the file as the last attempt read it.
    EXPECT_TRUE(readFile(m_target + "/log") == randomBytes(200'000, 2)) << "a torn or stale copy";
    if (GetParam().times >= 2) {
        ASSERT_EQ(result.failures.size(), 1u);
        EXPECT_EQ(result.failures[0].reason, "changed while it was copied");
    } else {
        EXPECT_TRUE(result.ok()) << describe(result);
    }
}

INSTANTIATE_TEST_SUITE_P(Copies, ChangingFile,
                         ::testing::Values(Rewrites{"ChangedOnceThenStill", 1}, Rewrites{"ChangingAllTheTime", 2}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(EngineTest, AStopInTheMiddleOfALargeSlowFileEndsTheCopyAtOnceAndKeepsTheEarlierCopy)
{
    makeFolder(m_target);
    writeFile(m_target + "/disk.img", "the earlier copy");
    writeFile(m_source + "/disk.img", randomBytes(64u << 20, 3));
    faults::Faults faults;
    faults.chunkRead = [](const std::string &) { std::this_thread::sleep_for(std::chrono::milliseconds(20)); };
    faults::ScopedFaults planted(faults);

    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        m_stop = true;
    });
    const auto started = std::chrono::steady_clock::now();
    const Result result = copy();
    const auto took = std::chrono::steady_clock::now() - started;
    stopper.join();

    EXPECT_TRUE(result.stopped);
    EXPECT_LT(took, std::chrono::milliseconds(1000)) << "the whole file takes over a second";
    EXPECT_EQ(readFile(m_target + "/disk.img"), "the earlier copy");
    EXPECT_EQ(temporaryFiles(m_target), std::vector<std::string>{});
}

TEST_F(EngineTest, ASameDayRerunGivesTheCopyAttributesThatAloneChanged)
{
    writeFile(m_source + "/photo.jpg", "pixels");
    ASSERT_TRUE(copy().ok());
    if (::setxattr((m_source + "/photo.jpg").c_str(), "user.rating", "5", 1, 0) != 0)
        GTEST_SKIP() << "this filesystem keeps no extended attributes";

    ASSERT_TRUE(copy().ok());

    char value[8] = {};
    EXPECT_EQ(::getxattr((m_target + "/photo.jpg").c_str(), "user.rating", value, sizeof value), 1);
    EXPECT_EQ(std::string(value), "5");
}

TEST_F(EngineTest, AnEarlierBackupThatHoldsTheLiveFileItselfIsNotSharedWith)
{
    // Someone who can write the destination made yesterday's name of the
    // file a second name of the live file, same size and time.
    writeFile(m_source + "/notes.txt", "today's notes");
    const std::string yesterday = m_temp / "yesterday";
    makeFolder(yesterday);
    ASSERT_EQ(::link((m_source + "/notes.txt").c_str(), (yesterday + "/notes.txt").c_str()), 0);
    Params params;
    params.source = m_source;
    params.target = m_target;
    params.targetRoot = m_temp.path();
    params.previousTarget = yesterday;

    const Result result = m_engine.copyTree(params, m_progress, m_stop);

    EXPECT_TRUE(result.ok()) << describe(result);
    EXPECT_NE(statOf(m_target + "/notes.txt").st_ino, statOf(m_source + "/notes.txt").st_ino)
        << "the backup must not be the live file";
    EXPECT_EQ(readFile(m_target + "/notes.txt"), "today's notes");
}
