#include "core/drives/DriveRecord.h"

#include "platform/Failure.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

TEST(DrivePaths, AreWrittenTheWayEachSystemWritesADrive)
{
    using namespace drovanta::drives;
    EXPECT_EQ(entryText("Local Disk", "C", PathStyle::Windows),
              "Local Disk (C:)");
    EXPECT_EQ(entryText("", "E", PathStyle::Windows), " (E:)");
    EXPECT_EQ(rootPath("C", PathStyle::Windows), "C:\\");
    EXPECT_EQ(backupFolderPath("E", {2021, 8, 31}, PathStyle::Windows),
              "E:\\Backup 08-31-2021");
    EXPECT_EQ(backupFolderPath("E", {2022, 1, 5}, PathStyle::Windows),
              "E:\\Backup 01-05-2022");
    EXPECT_EQ(rootPath("/", PathStyle::Posix), "/");
    EXPECT_EQ(rootPath("/media/alex/Archive", PathStyle::Posix),
              "/media/alex/Archive/");
    EXPECT_EQ(backupFolderPath("/", {2026, 12, 7}, PathStyle::Posix),
              "/Backup 12-07-2026");
}

TEST(DriveRecords, SplitAtEverySeparatorAndRefuseMissingFields)
{
    using namespace drovanta::drives;
    const std::vector<std::string> fields = splitRecord(makeRecord("D", "A|B", 42));
    EXPECT_EQ(fields, (std::vector<std::string>{"D", "A|B", "42"}));
    EXPECT_THROW(recordField(splitRecord("D"), 2), drovanta::Failure);
}
