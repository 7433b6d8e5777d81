#include "engine/LongPath.h"

#include <gtest/gtest.h>

using drovanta::engine::toExtendedPath;

TEST(ExtendedPaths, PrefixDrivePathsAndTurnSlashesIntoBackslashes)
{
    EXPECT_EQ(toExtendedPath(L"C:\\Users\\me"), L"\\\\?\\C:\\Users\\me");
    EXPECT_EQ(toExtendedPath(L"d:/Backup 01-02-2025/x"), L"\\\\?\\d:\\Backup 01-02-2025\\x");
}

TEST(ExtendedPaths, UseTheUncFormForNetworkShares)
{
    EXPECT_EQ(toExtendedPath(L"\\\\server\\share\\folder"), L"\\\\?\\UNC\\server\\share\\folder");
}

TEST(ExtendedPaths, LeaveExtendedDeviceAndRelativePathsUnprefixed)
{
    EXPECT_EQ(toExtendedPath(L"\\\\?\\C:\\x"), L"\\\\?\\C:\\x");
    EXPECT_EQ(toExtendedPath(L"\\\\.\\PhysicalDrive0"), L"\\\\.\\PhysicalDrive0");
    EXPECT_EQ(toExtendedPath(L"relative\\name"), L"relative\\name");
    EXPECT_EQ(toExtendedPath(L"C:relative"), L"C:relative");
}
