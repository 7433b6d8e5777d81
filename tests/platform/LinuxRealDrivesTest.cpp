// The Linux drive source against this machine's own kernel: the mount table,
// sysfs and the label ioctl as they really are.

#include "platform/linux/LinuxDriveSource.h"
#include "platform/linux/MountInfo.h"
#include "platform/linux/SysfsBlockDevice.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fcntl.h>
#include <filesystem>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace drovanta::platform;

namespace {

// Runs a program with its output silenced; the exit status, or 127 when it
// could not be started.
int run(const std::vector<std::string> &arguments)
{
    const pid_t child = ::fork();
    if (child < 0)
        return 127;
    if (child == 0) {
        const int devNull = ::open("/dev/null", O_WRONLY);
        if (devNull >= 0) {
            ::dup2(devNull, STDOUT_FILENO);
            ::dup2(devNull, STDERR_FILENO);
        }
        std::vector<char *> argv;
        for (const std::string &argument : arguments)
            argv.push_back(const_cast<char *>(argument.c_str()));
        argv.push_back(nullptr);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    if (::waitpid(child, &status, 0) != child || !WIFEXITED(status))
        return 127;
    return WEXITSTATUS(status);
}

// Small ext4 images mounted through loop devices in a temporary folder, and
// unmounted again however the test ends.
class LoopVolumes final {
public:
    LoopVolumes()
        : m_folder(fs::temp_directory_path() / ("drovanta-loop-" + std::to_string(::getpid())))
    {
        fs::remove_all(m_folder);
        fs::create_directories(m_folder);
        m_folder = fs::canonical(m_folder);
    }

    ~LoopVolumes()
    {
        bool allUnmounted = true;
        for (auto it = m_mountPoints.rbegin(); it != m_mountPoints.rend(); ++it) {
            if (run({"umount", it->string()}) != 0 && run({"umount", "-l", it->string()}) != 0)
                allUnmounted = false;
        }
        // Deleting through a mount that is still there would wipe the volume's
        // content, not ours; leave the folder behind instead.
        if (allUnmounted) {
            std::error_code ignored;
            fs::remove_all(m_folder, ignored);
        }
    }

    LoopVolumes(const LoopVolumes &) = delete;
    LoopVolumes &operator=(const LoopVolumes &) = delete;

    // Empty on success, else why the volume could not be made.
    std::string mount(const std::string &name, const std::string &label)
    {
        const fs::path image = m_folder / (name + ".img");
        const fs::path mountPoint = m_folder / name;
        fs::create_directories(mountPoint);
        if (run({"truncate", "-s", "16M", image.string()}) != 0)
            return "cannot create an image file in " + m_folder.string();
        const int mkfs = run({"mkfs.ext4", "-q", "-L", label, image.string()});
        if (mkfs == 127)
            return "mkfs.ext4 is not installed (e2fsprogs)";
        if (mkfs != 0)
            return "mkfs.ext4 failed on " + image.string();
        if (run({"mount", "-o", "loop", image.string(), mountPoint.string()}) != 0)
            return "loop devices cannot be mounted here";
        m_mountPoints.push_back(mountPoint);
        return {};
    }

    fs::path mountPoint(const std::string &name) const { return m_folder / name; }

private:
    fs::path m_folder;
    std::vector<fs::path> m_mountPoints;
};

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
    if (::geteuid() != 0)
        GTEST_SKIP() << "mounting loop images needs root";
    LoopVolumes volumes;
    for (const auto &[name, label] : {std::pair{"Drovanta A", "Drovanta A"}, std::pair{"DrovB", "DrovB"}}) {
        const std::string problem = volumes.mount(name, label);
        if (!problem.empty())
            GTEST_SKIP() << problem;
    }

    const LinuxDriveSource source;
    const auto drives = source.drives();

    for (const auto &[name, label] : {std::pair{"Drovanta A", "Drovanta A"}, std::pair{"DrovB", "DrovB"}}) {
        SCOPED_TRACE(name);
        const std::string mountPoint = volumes.mountPoint(name).string();
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
