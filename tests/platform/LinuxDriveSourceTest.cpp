#include "platform/Failure.h"
#include "platform/linux/DriveClassifier.h"
#include "platform/linux/LinuxDriveSource.h"
#include "platform/linux/MountInfo.h"
#include "platform/linux/SystemTables.h"
#include "platform/linux/VolumeLabel.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>
#include <utility>

namespace fs = std::filesystem;
using drovanta::Failure;
using namespace drovanta::platform;

namespace {

// A desktop as its mount table shows it: system disk on NVMe, a USB stick and
// a CD mounted by the desktop, an NFS share, snaps, a container overlay, and
// the kernel's own filesystems.
constexpr const char *desktopMountInfo =
    "22 1 259:2 / / rw,relatime shared:1 - ext4 /dev/nvme0n1p2 rw,errors=remount-ro\n"
    "23 22 0:21 / /proc rw,nosuid,nodev,noexec,relatime shared:12 - proc proc rw\n"
    "24 22 0:22 / /sys rw,nosuid,nodev,noexec,relatime shared:2 - sysfs sysfs rw\n"
    "25 24 0:26 / /sys/fs/cgroup rw,nosuid,nodev,noexec,relatime shared:4 - cgroup2 cgroup2 rw,nsdelegate\n"
    "26 22 0:5 / /dev rw,nosuid,relatime shared:3 - devtmpfs udev rw,size=8123456k,mode=755\n"
    "27 22 7:0 / /snap/core22/1122 ro,nodev,relatime shared:6 - squashfs /dev/loop0 ro,errors=continue\n"
    "28 22 7:1 / /snap/firefox/3836 ro,nodev,relatime shared:7 - squashfs /dev/loop1 ro,errors=continue\n"
    "29 22 259:3 / /home rw,relatime shared:8 - ext4 /dev/nvme0n1p3 rw\n"
    "30 22 259:1 / /boot/efi rw,relatime shared:9 - vfat /dev/nvme0n1p1 rw,fmask=0077,dmask=0077\n"
    "31 22 0:30 / /tmp rw,nosuid,nodev shared:10 - tmpfs tmpfs rw,inode64\n"
    "32 22 0:45 / /mnt/nas rw,relatime shared:11 - nfs4 nas.local:/export/backup rw,vers=4.2\n"
    "33 29 8:17 / /media/alex/USB\\040STICK rw,nosuid,nodev,relatime shared:12 - vfat /dev/sdb1 rw,uid=1000\n"
    "34 22 11:0 / /media/cdrom ro,nosuid,nodev,relatime shared:13 - iso9660 /dev/sr0 ro,blocksize=2048\n"
    "35 22 259:3 /alex/Projects /srv/projects rw,relatime shared:8 - ext4 /dev/nvme0n1p3 rw\n"
    "36 22 259:3 / /mnt/home-again rw,relatime shared:8 - ext4 /dev/nvme0n1p3 rw\n"
    "37 22 0:50 / /var/lib/docker/overlay2/3f2a/merged rw,relatime - overlay overlay rw,lowerdir=/l,upperdir=/u\n"
    "38 27 0:51 / /run/user/1000/gvfs rw,nosuid,nodev,relatime - fuse.gvfsd-fuse gvfsd-fuse rw,user_id=1000\n";

// A sysfs tree laid out as the kernel lays it out: /sys/dev/block/MAJ:MIN
// and /sys/class/block/NAME link to the device's folder, a partition's folder
// sits inside its disk's folder and has a "partition" file, and the disk has
// the "removable" flag.
class FakeSysfs final {
public:
    explicit FakeSysfs(fs::path root) : m_root(std::move(root)) {}

    const fs::path &root() const { return m_root; }

    void addDisk(const std::string &devicePath, const std::string &number, bool removable)
    {
        const fs::path folder = m_root / "devices" / devicePath;
        fs::create_directories(folder);
        setRemovable(devicePath, removable);
        link(folder, number);
    }

    void addPartition(const std::string &diskPath, const std::string &name, const std::string &number)
    {
        const fs::path folder = m_root / "devices" / diskPath / name;
        fs::create_directories(folder);
        std::ofstream(folder / "partition") << "1\n";
        link(folder, number);
    }

    void setRemovable(const std::string &diskPath, bool removable)
    {
        std::ofstream(m_root / "devices" / diskPath / "removable") << (removable ? "1\n" : "0\n");
    }

private:
    void link(const fs::path &folder, const std::string &number)
    {
        std::ofstream(folder / "dev") << number << "\n";
        fs::create_directories(m_root / "dev" / "block");
        fs::create_directories(m_root / "class" / "block");
        fs::create_directory_symlink(fs::path("../..") / fs::relative(folder, m_root),
                                     m_root / "dev" / "block" / number);
        fs::create_directory_symlink(fs::path("../..") / fs::relative(folder, m_root),
                                     m_root / "class" / "block" / folder.filename());
    }

    fs::path m_root;
};

constexpr const char *usbDisk = "pci0000:00/0000:00:14.0/usb2/2-1/host6/target6:0:0/6:0:0:0/block/sdb";

class TemporaryFolder : public ::testing::Test {
protected:
    // The folder is named in the constructor so that members of derived
    // fixtures can be placed inside it.
    TemporaryFolder()
        : m_root(fs::temp_directory_path()
                 / ("drovanta-drives-" + std::to_string(::getpid()) + "-"
                    + ::testing::UnitTest::GetInstance()->current_test_info()->name()))
    {
    }
    void SetUp() override
    {
        fs::remove_all(m_root);
        fs::create_directories(m_root);
    }
    void TearDown() override { fs::remove_all(m_root); }

    fs::path write(const std::string &name, const std::string &text)
    {
        std::ofstream(m_root / name, std::ios::binary) << text;
        return m_root / name;
    }

    fs::path m_root;
};

class DesktopDrives : public TemporaryFolder {
protected:
    void SetUp() override
    {
        TemporaryFolder::SetUp();
        const std::string nvme = "pci0000:00/0000:00:1d.0/0000:3d:00.0/nvme/nvme0/nvme0n1";
        m_sysfs.addDisk(nvme, "259:0", false);
        m_sysfs.addPartition(nvme, "nvme0n1p1", "259:1");
        m_sysfs.addPartition(nvme, "nvme0n1p2", "259:2");
        m_sysfs.addPartition(nvme, "nvme0n1p3", "259:3");
        m_sysfs.addDisk(usbDisk, "8:16", true);
        m_sysfs.addPartition(usbDisk, "sdb1", "8:17");
        m_sysfs.addDisk("pci0000:00/0000:00:17.0/ata2/host1/target1:0:0/1:0:0:0/block/sr0", "11:0", true);
        m_sysfs.addDisk("virtual/block/loop0", "7:0", false);
        m_sysfs.addDisk("virtual/block/loop1", "7:1", false);
        fs::create_directories(m_byLabel);
        fs::create_directories(m_byUuid);
        fs::create_directories(m_udev);
        // Where libmount looks for its utab.
        ::setenv("LIBMOUNT_UTAB", (m_root / "utab").c_str(), 1);
    }
    void TearDown() override
    {
        ::unsetenv("LIBMOUNT_UTAB");
        TemporaryFolder::TearDown();
    }

    LinuxSystemPaths paths(const std::string &mountInfo)
    {
        // Mount points of the tests that must exist lie in the temporary
        // folder, which plays the user's home.
        return {.mountInfo = write("mountinfo", mountInfo),
                .sysfs = m_sysfs.root(),
                .diskLinks = m_root / "disk",
                .udevData = m_udev,
                .fstab = m_root / "fstab",
                .utab = m_root / "utab",
                .home = m_root.string()};
    }

    LinuxDriveSource source(const std::string &mountInfo = desktopMountInfo) { return LinuxDriveSource(paths(mountInfo)); }

    void udevData(const std::string &number, const std::string &properties)
    {
        std::ofstream(m_udev / ("b" + number)) << properties;
    }

    const Drive &driveAt(const std::vector<std::unique_ptr<Drive>> &drives, const std::string &mountPoint)
    {
        for (const auto &drive : drives) {
            if (drive->letter() == mountPoint)
                return *drive;
        }
        throw std::runtime_error("no drive at " + mountPoint);
    }

    MountEntry mount(const std::string &fsType, const std::string &source, unsigned major = 0, unsigned minor = 0)
    {
        MountEntry entry;
        entry.fsType = fsType;
        entry.source = source;
        entry.major = major;
        entry.minor = minor;
        entry.root = "/";
        entry.mountPoint = "/mnt/x";
        return entry;
    }

    FakeSysfs m_sysfs{m_root / "sys"};
    fs::path m_byLabel{m_root / "disk" / "by-label"};
    fs::path m_byUuid{m_root / "disk" / "by-uuid"};
    fs::path m_udev{m_root / "udev"};
};

} // namespace

TEST(MountInfoParsing, DecodesTheKernelsOctalEscapesAndLeavesOtherBackslashesAlone)
{
    EXPECT_EQ(decodeMountField("/media/alex/USB\\040STICK"), "/media/alex/USB STICK");
    EXPECT_EQ(decodeMountField("a\\011b\\012c\\134d"), "a\tb\nc\\d");
    EXPECT_EQ(decodeMountField("ends\\04"), "ends\\04");
    EXPECT_EQ(decodeMountField("not\\089octal"), "not\\089octal");
    EXPECT_EQ(decodeMountField("\\xyz\\"), "\\xyz\\");
}

TEST(MountInfoParsing, FindsTheFieldsAfterAnyNumberOfOptionalTagsAndSkipsMalformedLines)
{
    const auto entries = parseMountInfo(
        "36 35 98:0 /mnt1 /mnt2 rw,noatime master:1 shared:7 - ext3 /dev/root rw,errors=continue\n"
        "garbage line\n"
        "37 35 x:1 / /bad rw - ext4 /dev/sda1 rw\n"
        "38 35 0:40 / /srv/share\\040one rw - cifs //nas/share\\040one rw,vers=3.0");

    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].major, 98u);
    EXPECT_EQ(entries[0].minor, 0u);
    EXPECT_EQ(entries[0].root, "/mnt1");
    EXPECT_EQ(entries[0].mountPoint, "/mnt2");
    EXPECT_EQ(entries[0].fsType, "ext3");
    EXPECT_EQ(entries[0].source, "/dev/root");
    EXPECT_EQ(entries[0].superOptions, "rw,errors=continue");
    EXPECT_EQ(entries[1].mountPoint, "/srv/share one");
    EXPECT_EQ(entries[1].source, "//nas/share one");
}

TEST_F(TemporaryFolder, AMissingMountTableIsAFailureNotAnEmptyList)
{
    LinuxSystemPaths paths;
    paths.mountInfo = m_root / "no-mountinfo";
    const LinuxDriveSource source(paths);
    EXPECT_THROW(source.drives(), Failure);
}

TEST_F(DesktopDrives, ListsEachShownFilesystemOnceInMountTableOrderWithItsType)
{
    const auto drives = source().drives();

    std::vector<std::pair<std::string, DriveType>> listed;
    for (const auto &drive : drives)
        listed.emplace_back(drive->letter(), drive->type());

    const std::vector<std::pair<std::string, DriveType>> expected{
        {"/", DriveType::Fixed},
        {"/proc", DriveType::Unknown},
        {"/sys", DriveType::Unknown},
        {"/sys/fs/cgroup", DriveType::Unknown},
        {"/dev", DriveType::Unknown},
        {"/home", DriveType::Fixed},
        {"/tmp", DriveType::RamDisk},
        {"/mnt/nas", DriveType::Network},
        {"/media/alex/USB STICK", DriveType::Removable},
        {"/media/cdrom", DriveType::CdRom},
        {"/var/lib/docker/overlay2/3f2a/merged", DriveType::Unknown},
        {"/run/user/1000/gvfs", DriveType::Unknown},
    };
    EXPECT_EQ(listed, expected);
}

TEST_F(DesktopDrives, ReadsTheRemovableFlagAgainEachTimeTheTypeIsAsked)
{
    const auto drives = source().drives();
    const Drive &stick = driveAt(drives, "/media/alex/USB STICK");
    EXPECT_EQ(stick.type(), DriveType::Removable);

    m_sysfs.setRemovable(usbDisk, false);
    EXPECT_EQ(stick.type(), DriveType::Fixed);
}

TEST_F(DesktopDrives, ClassifiesByFilesystemTypeBeforeLookingForADevice)
{
    EXPECT_EQ(classifyMount(mount("cifs", "//nas/music"), m_sysfs.root()), DriveType::Network);
    EXPECT_EQ(classifyMount(mount("fuse.sshfs", "alex@host:/"), m_sysfs.root()), DriveType::Network);
    EXPECT_EQ(classifyMount(mount("9p", "hostshare"), m_sysfs.root()), DriveType::Network);
    EXPECT_EQ(classifyMount(mount("ramfs", "ramfs"), m_sysfs.root()), DriveType::RamDisk);
    EXPECT_EQ(classifyMount(mount("udf", "/dev/sdb1", 8, 17), m_sysfs.root()), DriveType::CdRom);
    EXPECT_EQ(classifyMount(mount("squashfs", "/dev/loop0", 7, 0), m_sysfs.root()), DriveType::Unknown);
}

TEST_F(DesktopDrives, ClassifiesByTheDeviceWhenTheFilesystemTypeSaysNothing)
{
    // An audio or hybrid disc may carry a filesystem other than iso9660.
    EXPECT_EQ(classifyMount(mount("vfat", "/dev/sr0", 11, 0), m_sysfs.root()), DriveType::CdRom);
    EXPECT_EQ(classifyMount(mount("ext4", "/dev/loop1", 7, 1), m_sysfs.root()), DriveType::Fixed);
    // ntfs-3g: fuse, but on a real device.
    EXPECT_EQ(classifyMount(mount("fuseblk", "/dev/sdb1", 8, 17), m_sysfs.root()), DriveType::Removable);
    // A device node sysfs does not show is still a disk.
    EXPECT_EQ(classifyMount(mount("ext4", "/dev/vdz1", 252, 1), m_sysfs.root()), DriveType::Fixed);
    EXPECT_EQ(classifyMount(mount("fuse", "memfs"), m_sysfs.root()), DriveType::Unknown);
}

TEST_F(DesktopDrives, FindsTheDiskOfAFilesystemWithAnAnonymousDeviceNumberByItsDevicePath)
{
    // btrfs reports 0:NN in the mount table, not the device's own number.
    EXPECT_EQ(classifyMount(mount("btrfs", "/dev/sdb1", 0, 35), m_sysfs.root()), DriveType::Removable);
    EXPECT_EQ(classifyMount(mount("btrfs", "/dev/nvme0n1p3", 0, 36), m_sysfs.root()), DriveType::Fixed);
}

TEST_F(DesktopDrives, KeepsBtrfsSubvolumeMountsButDropsBindMountsOfFoldersInsideThem)
{
    const auto drives = source("40 1 0:35 /@ / rw,relatime - btrfs /dev/nvme0n1p2 rw,ssd,subvolid=256,subvol=/@\n"
                               "41 40 0:35 /@home /home rw,relatime - btrfs /dev/nvme0n1p2 rw,subvolid=257,subvol=/@home\n"
                               "42 40 0:35 /@home/alex/Music /srv/music rw - btrfs /dev/nvme0n1p2 rw,subvol=/@home\n"
                               "43 40 0:35 /@home /mnt/again rw - btrfs /dev/nvme0n1p2 rw,subvolid=257,subvol=/@home\n")
                            .drives();

    ASSERT_EQ(drives.size(), 2u);
    EXPECT_EQ(drives[0]->letter(), "/");
    EXPECT_EQ(drives[0]->type(), DriveType::Fixed);
    EXPECT_EQ(drives[1]->letter(), "/home");
}

TEST_F(DesktopDrives, ListsOnlyTheTopFilesystemWhenOneIsMountedOverAnother)
{
    const auto drives = source("70 1 259:2 / / rw - ext4 /dev/nvme0n1p2 rw\n"
                               "71 70 0:40 / /media/usb rw - tmpfs tmpfs rw\n"
                               "72 71 8:17 / /media/usb rw - vfat /dev/sdb1 rw\n"
                               "73 70 259:3 / /home rw - ext4 /dev/nvme0n1p3 rw\n")
                            .drives();

    ASSERT_EQ(drives.size(), 3u);
    EXPECT_EQ(drives[0]->letter(), "/");
    EXPECT_EQ(drives[1]->letter(), "/media/usb");
    EXPECT_EQ(drives[1]->type(), DriveType::Removable);
    EXPECT_EQ(drives[2]->letter(), "/home");
}

TEST_F(DesktopDrives, TakesTheLabelFromUdevsLinkToTheDeviceWhenTheFilesystemCannotSay)
{
    fs::create_directory_symlink("../../nvme0n1p3", m_byLabel / "home");
    fs::create_directory_symlink("../../sdb1", m_byLabel / "My\\x20Disk\\x2fA");
    fs::create_directory_symlink("../../sdc1", m_byLabel / "Elsewhere");
    // Mount points that do not exist, so the filesystem itself cannot be asked.
    const std::string stick = (m_root / "stick").string();
    const std::string home = (m_root / "home").string();
    const std::string efi = (m_root / "efi").string();

    const auto drives = source("60 1 8:17 / " + stick + " rw - vfat /dev/sdb1 rw\n"
                               "61 1 0:36 / " + home + " rw - btrfs /dev/nvme0n1p3 rw,subvol=/\n"
                               "62 1 259:1 / " + efi + " rw - vfat /dev/nvme0n1p1 rw\n")
                            .drives();

    EXPECT_EQ(driveAt(drives, stick).volumeName(), "My Disk/A");
    EXPECT_EQ(driveAt(drives, home).volumeName(), "home");
    EXPECT_EQ(driveAt(drives, efi).volumeName(), "");
}

TEST_F(DesktopDrives, NamesEachOfTwoDrivesThatShareALabelByUdevsRecordOfIt)
{
    const std::string secondStick = "pci0000:00/0000:00:14.0/usb2/2-2/host7/target7:0:0/7:0:0:0/block/sdc";
    m_sysfs.addDisk(secondStick, "8:32", true);
    m_sysfs.addPartition(secondStick, "sdc1", "8:33");
    udevData("8:17", "E:ID_FS_LABEL_ENC=BACKUP\\x20A\n");
    udevData("8:33", "E:ID_FS_LABEL_ENC=BACKUP\\x20A\n");
    // udev's one link for the label leads to one of them.
    fs::create_directory_symlink("../../sdb1", m_byLabel / "BACKUP\\x20A");
    const std::string first = (m_root / "first").string();
    const std::string second = (m_root / "second").string();

    const auto drives = source("60 1 8:17 / " + first + " rw - vfat /dev/sdb1 rw\n"
                               "61 1 8:33 / " + second + " rw - vfat /dev/sdc1 rw\n")
                            .drives();

    EXPECT_EQ(driveAt(drives, first).volumeName(), "BACKUP A");
    EXPECT_EQ(driveAt(drives, second).volumeName(), "BACKUP A");
}

TEST(UdevNames, DecodesHexEscapesAndKeepsIncompleteOnes)
{
    EXPECT_EQ(decodeUdevName("My\\x20Disk"), "My Disk");
    EXPECT_EQ(decodeUdevName("\\x5cx\\x2F"), "\\x/");
    EXPECT_EQ(decodeUdevName("a\\x2"), "a\\x2");
    EXPECT_EQ(decodeUdevName("a\\xg1"), "a\\xg1");
}

TEST_F(DesktopDrives, ADriveWhoseMountPointIsGoneIsNotReadyAndCannotBeMeasured)
{
    const auto drives = source("50 1 8:17 / " + (m_root / "gone").string() + " rw - vfat /dev/sdb1 rw\n").drives();

    ASSERT_EQ(drives.size(), 1u);
    EXPECT_FALSE(drives[0]->isReady());
    EXPECT_THROW(drives[0]->availableSpace(), Failure);
    EXPECT_THROW(drives[0]->totalSize(), Failure);
    EXPECT_THROW(drives[0]->freeSpace(), Failure);
}

TEST_F(DesktopDrives, ListsTheRootASeparateHomeAndAStickButNoSystemSwapOrHiddenFilesystem)
{
    const std::string nvme = "pci0000:00/0000:00:1d.0/0000:3d:00.0/nvme/nvme0/nvme0n1";
    m_sysfs.addPartition(nvme, "nvme0n1p4", "259:4");
    m_sysfs.addPartition(nvme, "nvme0n1p5", "259:5");
    m_sysfs.addPartition(nvme, "nvme0n1p6", "259:6");
    m_sysfs.addPartition(nvme, "nvme0n1p7", "259:7");
    udevData("259:5", "E:ID_FS_TYPE=vfat\nE:ID_PART_ENTRY_TYPE=C12A7328-F81F-11D2-BA4B-00A0C93EC93B\n");
    udevData("259:6", "S:disk/by-label/RECOVERY\nE:UDISKS_IGNORE=1\n");
    write("fstab", "# <file system> <mount point> <type> <options> <dump> <pass>\n"
                   "UUID=1234 /srv/vm ext4 defaults,x-gvfs-hide 0 2\n");
    write("utab", "ID=90 SRC=/dev/nvme0n1p7 TARGET=/mnt/scratch ROOT=/ OPTS=x-gvfs-hide\n");

    const auto drives = source("22 1 259:2 / / rw,relatime shared:1 - ext4 /dev/nvme0n1p2 rw\n"
                               "23 22 259:4 / /boot rw,relatime shared:2 - ext4 /dev/nvme0n1p4 rw\n"
                               "24 23 259:1 / /boot/efi rw,relatime shared:3 - vfat /dev/nvme0n1p1 rw,fmask=0077\n"
                               "25 22 259:5 / /mnt/esp rw,relatime shared:4 - vfat /dev/nvme0n1p5 rw\n"
                               "26 22 259:3 / /home rw,relatime shared:5 - ext4 /dev/nvme0n1p3 rw\n"
                               "27 22 0:60 / /swapspace rw - swap /dev/nvme0n1p8 rw\n"
                               "28 22 259:6 / /mnt/recovery rw - ntfs3 /dev/nvme0n1p6 rw\n"
                               "29 22 259:0 / /srv/vm rw - ext4 /dev/nvme0n1 rw\n"
                               "30 22 259:7 / /mnt/scratch rw - ext4 /dev/nvme0n1p7 rw\n"
                               "31 22 8:17 / /data/hidden-stick rw,x-gvfs-hide - vfat /dev/sdb1 rw\n"
                               "32 26 8:17 / /media/alex/USB\\040STICK rw,nosuid - vfat /dev/sdb1 rw\n")
                            .drives();

    std::vector<std::string> listed;
    for (const auto &drive : drives)
        listed.push_back(drive->letter());
    EXPECT_EQ(listed, (std::vector<std::string>{"/", "/home", "/media/alex/USB STICK"}));
}

TEST_F(DesktopDrives, ARemovableDiskOutsideTheDesktopsPlacesIsNotListedButAFixedDiskIs)
{
    const auto drives = source("22 1 259:2 / / rw - ext4 /dev/nvme0n1p2 rw\n"
                               "23 22 8:17 / /srv/stick rw - vfat /dev/sdb1 rw\n"
                               "24 22 259:3 / /srv/data rw - ext4 /dev/nvme0n1p3 rw\n"
                               "25 22 8:17 / /run/media/alex/STICK rw - vfat /dev/sdb1 rw\n")
                            .drives();

    std::vector<std::string> listed;
    for (const auto &drive : drives)
        listed.push_back(drive->letter());
    EXPECT_EQ(listed, (std::vector<std::string>{"/", "/srv/data", "/run/media/alex/STICK"}));
}

TEST_F(DesktopDrives, NamesEachFilesystemByItsUuidWhereItHasOneAndElseByLabelAndMountPoint)
{
    udevData("259:2", "E:ID_FS_UUID=aaaa-1111\n");
    fs::create_directory_symlink("../../sdb1", m_byUuid / "B0B0-C0C0");
    fs::create_directory_symlink("../../sdb1", m_byLabel / "STICK");
    const std::string stick = (m_root / "stick").string();
    const std::string efi = (m_root / "efi").string();

    const auto drives = source("40 1 0:35 /@ / rw - btrfs /dev/nvme0n1p2 rw,subvol=/@\n"
                               "41 40 0:35 /@home /home rw - btrfs /dev/nvme0n1p2 rw,subvol=/@home\n"
                               "60 1 8:17 / " + stick + " rw - vfat /dev/sdb1 rw\n"
                               "62 1 259:1 / " + efi + " rw - ext2 /dev/nvme0n1p1 rw\n")
                            .drives();

    EXPECT_EQ(driveAt(drives, "/").identity().volume, "uuid aaaa-1111 /@");
    EXPECT_EQ(driveAt(drives, "/home").identity().volume, "uuid aaaa-1111 /@home");
    EXPECT_EQ(driveAt(drives, stick).identity().volume, "uuid B0B0-C0C0");
    EXPECT_EQ(driveAt(drives, efi).identity().volume, "label  at " + efi);
    EXPECT_NE(driveAt(drives, "/").identity().mount, driveAt(drives, "/home").identity().mount);
}

TEST_F(DesktopDrives, AMountPointIsNoLongerTheListedDriveWhenItsFilesystemIsGoneOrAnotherIsThere)
{
    const std::string stick = (m_root / "stick").string();
    fs::create_directories(stick);
    const LinuxDriveSource drivesOnThisTable = source("60 1 8:17 / " + stick + " rw - vfat /dev/sdb1 rw\n");
    const std::string listed = drivesOnThisTable.drives().at(0)->identity().mount;

    write("mountinfo", "61 1 8:33 / " + stick + " rw - vfat /dev/sdc1 rw\n");
    EXPECT_FALSE(drivesOnThisTable.stillMounted(stick, listed));
    write("mountinfo", "22 1 259:2 / / rw - ext4 /dev/nvme0n1p2 rw\n");
    EXPECT_FALSE(drivesOnThisTable.stillMounted(stick, listed));
    // Listed in the table, but the folder does not carry that device's files.
    write("mountinfo", "60 1 8:17 / " + stick + " rw - vfat /dev/sdb1 rw\n");
    EXPECT_FALSE(drivesOnThisTable.stillMounted(stick, listed));
}

TEST_F(DesktopDrives, AFolderAtOrBelowAnFstabMountPointThatIsNotMountedAwaitsItsDrive)
{
    write("fstab", "UUID=1 / ext4 defaults 0 1\nUUID=2 /home ext4 defaults 0 2\n"
                   "UUID=3 /srv/backup ext4 noauto,nofail 0 2\nUUID=4 none swap sw 0 0\n");
    const LinuxDriveSource drivesHere = source("22 1 259:2 / / rw - ext4 /dev/nvme0n1p2 rw\n"
                                               "26 22 259:3 / /home rw - ext4 /dev/nvme0n1p3 rw\n");

    EXPECT_TRUE(drivesHere.awaitsMount("/srv/backup"));
    EXPECT_TRUE(drivesHere.awaitsMount("/srv/backup/nightly"));
    EXPECT_FALSE(drivesHere.awaitsMount("/srv/backup-old"));
    EXPECT_FALSE(drivesHere.awaitsMount("/home/alex"));
}

namespace {

// What a listing tells of each drive, one line each.
std::vector<std::string> described(const std::vector<std::unique_ptr<Drive>> &drives)
{
    std::vector<std::string> lines;
    for (const auto &drive : drives) {
        const DriveIdentity identity = drive->identity();
        lines.push_back(drive->letter() + " | " + std::to_string(static_cast<int>(drive->type())) + " | "
                        + drive->volumeName() + " | " + identity.mount + " | " + identity.volume);
    }
    return lines;
}

} // namespace

TEST_F(DesktopDrives, LibmountAndTheOwnReadersListTheSameDrives)
{
    if (!libmountBuiltIn())
        GTEST_SKIP() << "built without libmount: the own readers alone read the mount tables";
    udevData("259:2", "E:ID_FS_UUID=aaaa-1111\n");
    udevData("8:17", "E:ID_FS_LABEL_ENC=USB\\x20STICK\nE:ID_FS_UUID=B0B0-C0C0\n");
    write("fstab", "# <file system> <mount point> <type> <options> <dump> <pass>\n"
                   "UUID=1234 /srv/vm ext4 defaults,x-gvfs-hide 0 2\n");
    write("utab", "ID=90 SRC=/dev/sr0 TARGET=/media/cdrom ROOT=/ OPTS=x-gvfs-hide\n"
                  "ID=91 SRC=/dev/sdb1 TARGET=/media/alex/USB\\040STICK ROOT=/ OPTS=uhelper=udisks2\n");
    const std::string table = std::string(desktopMountInfo) + "39 22 259:0 / /srv/vm rw - ext4 /dev/nvme0n1 rw\n";

    LinuxSystemPaths ownReaders = paths(table);
    ownReaders.readers = TableReaders::OwnReaders;
    const auto throughLibmount = described(LinuxDriveSource(paths(table)).drives());
    const auto byOwnReaders = described(LinuxDriveSource(ownReaders).drives());

    EXPECT_EQ(throughLibmount, byOwnReaders);
    // The table's twelve, less the disc that the utab hides, plus none of /srv/vm.
    EXPECT_EQ(throughLibmount.size(), 11u);
}
