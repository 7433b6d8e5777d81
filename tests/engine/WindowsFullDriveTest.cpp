// The Windows engine on a drive that really fills up. Under Wine,
// scripts/test-windows (as root) mounts a small tmpfs, gives it a drive
// letter and names that drive in DROVANTA_WINE_SMALL_DRIVE ("S:").
#include "EngineTestSupport.h"

#include "engine/CopyEngine.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <random>

using namespace drovanta::engine;
using namespace drovanta::engine::testing;

TEST(WindowsFullDrive, AFullDriveStopsTheRunWithNoTruncatedFileUnderARealName)
{
    const char *drive = std::getenv("DROVANTA_WINE_SMALL_DRIVE");
    if (drive == nullptr)
        GTEST_SKIP() << "no small drive to fill: scripts/test-windows mounts one (an 8 MiB tmpfs) when run as root";
    TempFolder temp;
    const std::string source = temp / "source";
    makeFolder(source);
    for (int i = 0; i < 12; ++i)
        writeFile(source + "/big" + std::to_string(i), randomBytes(1024 * 1024 + 17, static_cast<unsigned>(i)));
    const std::string target = std::string(drive) + "\\drovanta-full-" + std::to_string(::GetCurrentProcessId());
    Params params;
    params.source = source;
    params.target = target;
    NoProgress progress;
    const std::atomic<bool> stop{false};

    const Result result = NativeCopyEngine().copyTree(params, progress, stop);

    EXPECT_TRUE(result.destinationFailed) << describe(result);
    EXPECT_TRUE(result.destinationFailure.code == ERROR_DISK_FULL
                || result.destinationFailure.code == ERROR_HANDLE_DISK_FULL)
        << describe(result);
    EXPECT_TRUE(result.failures.empty()) << "the full drive is not listed per file: " << describe(result);
    EXPECT_LT(result.files, 12u);
    EXPECT_EQ(compareTrees(source, target, {}, true), std::vector<std::string>{});
    EXPECT_EQ(temporaryFiles(target), std::vector<std::string>{});
    removeTree(target);
}
