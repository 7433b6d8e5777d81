// The Linux drive source against this machine's own kernel: the mount table,
// sysfs and the label ioctl as they really are.

#include "LoopVolume.h"

#include "platform/linux/LinuxDriveSource.h"
#include "platform/linux/MountInfo.h"
#include "platform/linux/SysfsBlockDevice.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <sys/statvfs.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace drovanta::platform;

namespace {

const Drive *findDrive(const std::vector<std::unique_ptr<Drive>> &drives, const std::string &letter)
{
    for (const auto &drive : drives) {
        if (drive->letter() == letter)
            return drive.get();
    }
    return nullptr;
}

} // namespace

TEST(RealLinuxDrives, ListsMountedExt4VolumesWithTheirLabelsAndTheSpaceTheKernelReports)
{
    drovanta::testing::LoopVolume first(16, "Drovanta A", "Drovanta A", 5);
    if (!first.mounted())
        GTEST_SKIP() << first.error();
    drovanta::testing::LoopVolume second(16, "DrovB", "DrovB", 5);
    if (!second.mounted())
        GTEST_SKIP() << second.error();

    const LinuxDriveSource source;
    const auto drives = source.drives();

    for (const auto &[volume, label] : {std::pair{&first, "Drovanta A"}, std::pair{&second, "DrovB"}}) {
        SCOPED_TRACE(label);
        const std::string mountPoint = volume->path();
        const Drive *drive = findDrive(drives, mountPoint);
        ASSERT_NE(drive, nullptr) << mountPoint << " is not listed";
        EXPECT_EQ(drive->type(), DriveType::Fixed);
        EXPECT_TRUE(drive->isReady());
        EXPECT_EQ(drive->volumeName(), label);

        struct statvfs info {};
        ASSERT_EQ(::statvfs(mountPoint.c_str(), &info), 0);
        EXPECT_EQ(drive->availableSpace(), std::uint64_t{info.f_bavail} * info.f_frsize);
        EXPECT_EQ(drive->totalSize(), std::uint64_t{info.f_blocks} * info.f_frsize);
        EXPECT_EQ(drive->freeSpace(), std::uint64_t{info.f_bfree} * info.f_frsize);
        // ext4 reserves 5% for the administrator, which the user cannot fill.
        EXPECT_LT(drive->availableSpace(), drive->freeSpace());
    }
}

TEST(RealLinuxDrives, ListsTheRootFilesystemAsAFixedDriveWhenADiskHoldsIt)
{
    const auto mounts = readMountInfo("/proc/self/mountinfo");
    const auto root = std::find_if(mounts.begin(), mounts.end(), [](const MountEntry &m) { return m.mountPoint == "/"; });
    ASSERT_NE(root, mounts.end());
    const auto device = findBlockDevice("/sys", *root);
    if (!device && root->source.rfind("/dev/", 0) != 0)
        GTEST_SKIP() << "/ is " << root->fsType << " from " << root->source << ", not on a block device";
    if (device && device->removable)
        GTEST_SKIP() << "/ is on the removable disk " << device->diskName;
    if (root->root != "/")
        GTEST_SKIP() << "/ is a sub-folder " << root->root << " of its filesystem";

    const LinuxDriveSource source;
    const auto drives = source.drives();
    const Drive *drive = findDrive(drives, "/");

    ASSERT_NE(drive, nullptr);
    EXPECT_EQ(drive->type(), DriveType::Fixed);
    EXPECT_TRUE(drive->isReady());
    EXPECT_GT(drive->totalSize(), 0u);
    EXPECT_LE(drive->availableSpace(), drive->freeSpace());
    EXPECT_LE(drive->freeSpace(), drive->totalSize());
}

TEST(RealLinuxDrives, AListedVolumeIsStillMountedUntilItIsUnmounted)
{
    drovanta::testing::LoopVolume volume(16, "DrovGone", "DrovGone");
    if (!volume.mounted())
        GTEST_SKIP() << volume.error();
    const LinuxDriveSource source;
    const auto drives = source.drives();
    const Drive *drive = findDrive(drives, volume.path());
    ASSERT_NE(drive, nullptr);
    const std::string listed = drive->identity().mount;

    EXPECT_TRUE(source.stillMounted(volume.path(), listed));
    ASSERT_TRUE(volume.unmount());
    EXPECT_FALSE(source.stillMounted(volume.path(), listed));
}
