// The Windows drive source against the drives Windows (or Wine) really has.
// Under Wine, scripts/test-windows gives the prefix extra drives (a labelled
// fixed drive, a removable one, a CD-ROM) and lists them, with the space the
// host reports for the folders behind them, in the file named by
// DROVANTA_WINE_DRIVES: "letter type label block-size blocks available-blocks"
// per line, "-" for no label.
#include "platform/windows/WindowsDriveSource.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>

using namespace drovanta::platform;

namespace {

const Drive *find(const std::vector<std::unique_ptr<Drive>> &drives, const std::string &letter)
{
    for (const auto &drive : drives) {
        if (drive->letter() == letter)
            return drive.get();
    }
    return nullptr;
}

DriveType typeNamed(const std::string &name)
{
    if (name == "fixed")
        return DriveType::Fixed;
    if (name == "removable")
        return DriveType::Removable;
    if (name == "cdrom")
        return DriveType::CdRom;
    if (name == "network")
        return DriveType::Network;
    return DriveType::Unknown;
}

struct ExpectedDrive {
    std::string letter;
    std::string type;
    std::string label;
    std::uint64_t total = 0;
    std::uint64_t available = 0;
};

std::vector<ExpectedDrive> expectedDrives(std::string &why)
{
    const char *list = std::getenv("DROVANTA_WINE_DRIVES");
    if (list == nullptr) {
        why = "DROVANTA_WINE_DRIVES is not set: scripts/test-windows sets up the Wine drives and names their list";
        return {};
    }
    std::ifstream in(list);
    if (!in) {
        why = std::string("cannot read the drive list ") + list;
        return {};
    }
    std::vector<ExpectedDrive> drives;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        ExpectedDrive drive;
        std::uint64_t blockSize = 0;
        std::uint64_t blocks = 0;
        std::uint64_t availableBlocks = 0;
        if (!(fields >> drive.letter >> drive.type >> drive.label >> blockSize >> blocks >> availableBlocks))
            continue;
        if (drive.label == "-")
            drive.label.clear();
        drive.total = blockSize * blocks;
        drive.available = blockSize * availableBlocks;
        drives.push_back(drive);
    }
    if (drives.empty())
        why = std::string("the drive list ") + list + " is empty";
    return drives;
}

} // namespace

TEST(WindowsDriveSource, ListsLettersOnceEachInAscendingOrder)
{
    const auto drives = WindowsDriveSource().drives();

    ASSERT_FALSE(drives.empty());
    for (std::size_t i = 0; i < drives.size(); ++i) {
        const std::string letter = drives[i]->letter();
        ASSERT_EQ(letter.size(), 1u);
        EXPECT_TRUE(letter[0] >= 'A' && letter[0] <= 'Z') << letter;
        if (i > 0) {
            EXPECT_LT(drives[i - 1]->letter(), letter);
        }
    }
}

TEST(WindowsDriveSource, ShowsTheSystemDriveAsAReadyFixedDriveWithSpace)
{
    const auto drives = WindowsDriveSource().drives();
    const Drive *system = find(drives, "C");

    ASSERT_NE(system, nullptr) << "no C: drive";
    EXPECT_EQ(system->type(), DriveType::Fixed);
    EXPECT_TRUE(system->isReady());
    EXPECT_GT(system->totalSize(), 0u);
    // Each figure is read anew while other programs write to the drive:
    // two readings compare only with the total, not with each other.
    EXPECT_LE(system->availableSpace(), system->totalSize());
    EXPECT_LE(system->freeSpace(), system->totalSize());
}

TEST(WindowsDriveSource, ReportsTheTypeLabelAndSpaceOfEachDriveThePrefixWasGiven)
{
    std::string why;
    const auto expected = expectedDrives(why);
    if (expected.empty())
        GTEST_SKIP() << why;
    const auto drives = WindowsDriveSource().drives();

    for (const auto &wanted : expected) {
        SCOPED_TRACE(wanted.letter + ": " + wanted.type + " " + wanted.label);
        const Drive *drive = find(drives, wanted.letter);
        ASSERT_NE(drive, nullptr) << "drive not listed";
        EXPECT_EQ(drive->type(), typeNamed(wanted.type));
        EXPECT_TRUE(drive->isReady());
        EXPECT_EQ(drive->volumeName(), wanted.label);
        EXPECT_EQ(drive->totalSize(), wanted.total);
        // Other programs (a build beside the tests) write while the tests
        // run: drift of a few hundred MiB on a host disk is allowed; a figure
        // taken from the wrong field would be off by far more.
        const std::uint64_t tolerance = 512ULL << 20;
        const std::uint64_t available = drive->availableSpace();
        EXPECT_LE(available, wanted.available + tolerance);
        EXPECT_GE(available + tolerance, wanted.available);
    }
}

TEST(WindowsDriveSource, ADriveIsStillMountedAsListedAndNoOtherVolumeIsTakenForIt)
{
    const WindowsDriveSource source;
    const auto drives = source.drives();
    const Drive *system = find(drives, "C");
    ASSERT_NE(system, nullptr) << "no C: drive";
    const DriveIdentity identity = system->identity();

    EXPECT_FALSE(identity.volume.empty());
    EXPECT_TRUE(source.stillMounted("C", identity.mount));
    EXPECT_FALSE(source.stillMounted("C", identity.mount + "x"));
    EXPECT_FALSE(source.awaitsMount("C:\\"));
}
