// A copy that meets trouble, on every system: an unreadable file, a full
// destination, a raised stop token. POSIX-only cases (modes, mounts, a killed
// process) are in PosixFailureTest.cpp.
#include "EngineTestSupport.h"

#include "engine/CopyEngine.h"
#include "engine/FaultInjection.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <random>

using namespace drovanta::engine;
using namespace drovanta::engine::testing;

namespace {

using CopyFailure = EngineTest;

class StopAfter final : public ProgressSink {
public:
    StopAfter(std::atomic<bool> &stop, int files) : m_stop(stop), m_left(files) {}
    void fileCopied(const std::string &, std::uint64_t) override
    {
        if (--m_left <= 0)
            m_stop = true;
    }

private:
    std::atomic<bool> &m_stop;
    std::atomic<int> m_left;
};

} // namespace

TEST_F(CopyFailure, AFileThatCannotBeReadIsReportedWhileEveryOtherFileIsCopied)
{
    makeRandomTree(m_source, 11, 2);
    writeFile(m_source + "/folder0/broken.bin", randomBytes(5000, 1));
    faults::Faults planted;
    planted.readError = [](const std::string &path) {
        return std::filesystem::path(path).filename() == "broken.bin" ? EIO : 0;
    };
    Result result;
    {
        faults::ScopedFaults scope(planted);
        result = copy(m_target);
    }

    ASSERT_EQ(result.failures.size(), 1u) << describe(result);
    EXPECT_EQ(reported(result.failures[0].path), reported(m_source + "/folder0/broken.bin"));
    EXPECT_EQ(result.failures[0].operation, "read");
    EXPECT_EQ(result.failures[0].code, faults::systemError(EIO));
    EXPECT_EQ(result.failures[0].reason, systemReason(faults::systemError(EIO)));
    EXPECT_FALSE(result.destinationFailed) << "a read error on the source is not the destination's";
    EXPECT_EQ(compareTrees(m_source, m_target, {m_source + "/folder0/broken.bin"}), std::vector<std::string>{});
    EXPECT_EQ(temporaryFiles(m_target), std::vector<std::string>{});
}

TEST_F(CopyFailure, AnInjectedFullDestinationStopsTheRunAndKeepsTheEarlierCopyOfAFileBeingReplaced)
{
    for (int i = 0; i < 40; ++i)
        writeFile(m_source + "/data" + std::to_string(i), randomBytes(64 * 1024, static_cast<unsigned>(i)));
    makeFolder(m_target);
    const std::string earlier = "the earlier backup of data7";
    writeFile(m_target + "/data7", earlier, 1'000'000'000);

    faults::Faults planted;
    planted.writableBytes = 10 * 64 * 1024 + 1000;
    Result result;
    {
        faults::ScopedFaults scope(planted);
        result = copy(m_target);
    }

    EXPECT_TRUE(result.destinationFailed) << describe(result);
    EXPECT_EQ(result.destinationFailure.code, faults::systemError(ENOSPC));
    EXPECT_EQ(result.destinationFailure.reason, systemReason(faults::systemError(ENOSPC)));
    EXPECT_TRUE(result.failures.empty()) << "the same cause is not listed per file: " << describe(result);
    EXPECT_LT(result.files, 40u);
    const std::string data7 = readFile(m_target + "/data7");
    if (data7 != earlier)
        EXPECT_EQ(data7, readFile(m_source + "/data7")) << "data7 is either its earlier copy or complete";
    else
        std::filesystem::remove(m_target + "/data7"); // the earlier copy does not match the source
    expectNoDamagedFile(m_target);
}

TEST_F(CopyFailure, RaisingTheStopTokenStartsNoNewFileAndSaysTheRunWasStopped)
{
    for (int i = 0; i < 200; ++i)
        writeFile(m_source + "/file" + std::to_string(i), randomBytes(1000, static_cast<unsigned>(i)));
    StopAfter sink(m_stop, 10);
    Params params;
    params.source = m_source;
    params.target = m_target;
    params.workers = 2;

    const Result result = m_engine.copyTree(params, sink, m_stop);

    EXPECT_TRUE(result.stopped) << describe(result);
    EXPECT_FALSE(result.ok());
    EXPECT_GE(result.files, 10u);
    EXPECT_LE(result.files, 10u + params.workers) << "only the files under way finish";
    EXPECT_TRUE(result.failures.empty()) << describe(result);
    expectNoDamagedFile(m_target);
}
