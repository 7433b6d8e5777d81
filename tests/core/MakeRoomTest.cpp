// Which old backups may go, and which thinning keeps.
#include "core/backup/MakeRoom.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace std::chrono;
using drovanta::backup::DatedBackup;

namespace {

std::string nameOf(year_month_day date)
{
    char text[32];
    std::snprintf(text, sizeof text, "Backup %02u-%02u-%04d", static_cast<unsigned>(date.month()),
                  static_cast<unsigned>(date.day()), static_cast<int>(date.year()));
    return text;
}

} // namespace

TEST(OldBackups, OnlyRealFoldersNamedExactlyAfterAValidDateAreBackups)
{
    const fs::path root = fs::temp_directory_path() /
        ("drovanta-dated-" + std::to_string(steady_clock::now().time_since_epoch().count()));
    fs::remove_all(root);
    fs::create_directories(root / "Backup 01-02-2026");
    fs::create_directories(root / "Backup 13-45-2026");
    fs::create_directories(root / "Backup 02-30-2026");
    fs::create_directories(root / "Backup 01-01-2026 (copy)");
    fs::create_directories(root / "elsewhere");
    std::ofstream(root / "Backup 01-01-2026") << "a file";
    std::error_code noLinks; // a system without links has no such trap
    fs::create_directory_symlink(root / "elsewhere", root / "Backup 01-03-2026", noLinks);

    const std::vector<DatedBackup> backups = drovanta::backup::datedBackups(root.string());

    ASSERT_EQ(backups.size(), 1u);
    EXPECT_EQ(backups[0].name, "Backup 01-02-2026");
    fs::remove_all(root);
}

TEST(Thinning, AYearOfDailyBackupsKeepsTheLastOfEachDayWeekAndMonthAskedFor)
{
    const year_month_day today = 2026y / December / 9;
    std::vector<DatedBackup> backups;
    for (sys_days day = sys_days(today) - days(364); day <= sys_days(today); day += days(1))
        backups.push_back({nameOf(year_month_day(day)), year_month_day(day)});

    std::set<std::string> kept;
    for (const auto &backup : backups)
        kept.insert(backup.name);
    for (const auto &removed : drovanta::backup::thinnedOut(backups, today, 7, 4, 12))
        kept.erase(removed.name);

    // Seven days; the Sundays of the two weeks before this one and the last;
    // the last day of each of the eleven months before December.
    const std::set<std::string> expected = {
        "Backup 12-03-2026", "Backup 12-04-2026", "Backup 12-05-2026", "Backup 12-06-2026", "Backup 12-07-2026",
        "Backup 12-08-2026", "Backup 12-09-2026", "Backup 11-29-2026", "Backup 11-22-2026", "Backup 11-30-2026",
        "Backup 10-31-2026", "Backup 09-30-2026", "Backup 08-31-2026", "Backup 07-31-2026", "Backup 06-30-2026",
        "Backup 05-31-2026", "Backup 04-30-2026", "Backup 03-31-2026", "Backup 02-28-2026", "Backup 01-31-2026",
    };
    EXPECT_EQ(kept, expected);
}

TEST(Thinning, NeverRemovesTodaysOrTheLatestEarlierBackup)
{
    const year_month_day today = 2026y / December / 9;
    const std::vector<DatedBackup> backups = {{"Backup 01-05-2026", 2026y / January / 5},
                                              {"Backup 06-05-2026", 2026y / June / 5},
                                              {"Backup 12-09-2026", today}};

    const auto removed = drovanta::backup::thinnedOut(backups, today, 0, 0, 0);

    ASSERT_EQ(removed.size(), 1u);
    EXPECT_EQ(removed[0].name, "Backup 01-05-2026");
}

TEST(OldBackups, WhenEvenAllEarlierBackupsWouldNotFreeEnoughNoneIsProposed)
{
    const fs::path root = fs::temp_directory_path() /
        ("drovanta-room-" + std::to_string(steady_clock::now().time_since_epoch().count()));
    for (const char *name : {"Backup 01-01-2026", "Backup 01-02-2026", "Backup 12-09-2026"}) {
        fs::create_directories(root / name);
        std::ofstream(root / name / "data.bin") << std::string(50'000, 'd');
    }
    const year_month_day today = 2026y / December / 9;

    const auto tooMuch = drovanta::backup::planRoom(root.string(), today, 10'000'000, 1'000'000);
    const auto enough = drovanta::backup::planRoom(root.string(), today, 1'040'000, 1'000'000);

    EXPECT_FALSE(tooMuch.enough);
    EXPECT_TRUE(tooMuch.removed.empty());
    EXPECT_EQ(tooMuch.candidates, 2u) << "today's backup is never one";
    ASSERT_TRUE(enough.enough);
    ASSERT_EQ(enough.removed.size(), 1u);
    EXPECT_EQ(enough.removed[0].name, "Backup 01-01-2026");
    EXPECT_TRUE(fs::exists(root / "Backup 01-01-2026" / "data.bin")) << "a plan removes nothing";
    fs::remove_all(root);
}
