// The room check's figure is what the copy then writes: the measure takes
// the copy's own decisions.
#include "LoopVolume.h"
#include "PosixTestSupport.h"

#include "engine/CopyEngine.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <filesystem>
#include <string>

using namespace drovanta::engine;
using namespace drovanta::engine::testing;
using drovanta::testing::LoopVolume;

namespace {

std::uint64_t freeBytes(const std::string &path)
{
    struct statvfs info {};
    EXPECT_EQ(::statvfs(path.c_str(), &info), 0);
    return static_cast<std::uint64_t>(info.f_bfree) * info.f_frsize;
}

class MeasureTest : public EngineTest {
protected:
    Params dayParams(const std::string &day, const std::string &earlierDay) const
    {
        Params params;
        params.source = m_source;
        params.target = m_volume.path() + "/Backup " + day;
        params.sourceRoot = m_source;
        params.targetRoot = m_volume.path();
        if (!earlierDay.empty())
            params.previousTarget = m_volume.path() + "/Backup " + earlierDay;
        params.atDriveRoot = true;
        return params;
    }

    // A day's backup as a run makes it: each top-level folder in turn.
    void backUp(const std::string &day, const std::string &earlierDay = {})
    {
        const Params day_ = dayParams(day, earlierDay);
        std::filesystem::create_directory(day_.target);
        const auto run = m_engine.beginRun({day_.targetRoot, day_.target, day_.previousTarget});
        for (const char *folder : {"docs", "more"}) {
            Params item = day_;
            item.source = m_source + "/" + folder;
            item.target = day_.target + "/" + folder;
            const Result result = run->copyTree(item, m_progress, m_stop);
            ASSERT_TRUE(result.ok()) << describe(result);
        }
        ASSERT_FALSE(run->sync().destinationFailed);
    }

    LoopVolume m_volume{64};
};

} // namespace

TEST_F(MeasureTest, WhatTheRoomCheckMeasuresIsWhatTheNextDaysCopyWrites)
{
    if (!m_volume.mounted())
        GTEST_SKIP() << m_volume.error();
    makeFolder(m_source + "/docs");
    makeFolder(m_source + "/more");
    const auto data = [](std::size_t kib, unsigned seed) { return randomBytes(kib * 1024, seed); };
    writeFileWithMode(m_source + "/docs/unchanged", data(200, 1), 0644);
    writeFileWithMode(m_source + "/docs/changed", data(300, 2), 0644);
    writeFileWithMode(m_source + "/docs/mode", data(100, 3), 0644);
    writeFileWithMode(m_source + "/docs/attribute", data(150, 4), 0644);
    writeFileWithMode(m_source + "/docs/linked", data(250, 5), 0644);
    ASSERT_EQ(::link((m_source + "/docs/linked").c_str(), (m_source + "/more/linked").c_str()), 0);
    backUp("01-01-2026");

    writeFileWithMode(m_source + "/docs/changed", data(300, 6), 0644, 1'700'000'000);
    ASSERT_EQ(::chmod((m_source + "/docs/mode").c_str(), 0600), 0);
    ASSERT_EQ(::setxattr((m_source + "/docs/attribute").c_str(), "user.tag", "x", 1, 0), 0);
    writeFileWithMode(m_source + "/docs/linked", data(250, 7), 0644, 1'700'000'000); // both names change
    writeFileWithMode(m_source + "/more/new", data(120, 8), 0644);
    const std::optional<std::uint64_t> measured = m_engine.measure(dayParams("01-02-2026", "01-01-2026"), m_stop);
    const std::uint64_t before = freeBytes(m_volume.path());
    backUp("01-02-2026", "01-01-2026");
    const std::uint64_t written = before - freeBytes(m_volume.path());

    ASSERT_TRUE(measured.has_value());
    // Changed, mode only, attributes only, the two names once, the new file;
    // each rounded up to a block of the source or the destination, and a
    // block for each of the three folders made.
    const std::uint64_t data_ = (300 + 100 + 150 + 250 + 120) * 1024;
    constexpr std::int64_t rounding = (5 + 3) * 4096;
    EXPECT_GE(*measured, data_);
    EXPECT_LE(*measured, data_ + rounding);
    const std::int64_t difference = static_cast<std::int64_t>(written) - static_cast<std::int64_t>(*measured);
    EXPECT_LE(std::abs(difference), rounding) << "measured " << *measured << ", written " << written;
}
