#include "platform/linux/LinuxDriveSource.h"

#include "platform/Failure.h"
#include "platform/linux/DesktopMounts.h"
#include "platform/linux/DriveClassifier.h"
#include "platform/linux/MountInfo.h"
#include "platform/linux/SysfsBlockDevice.h"
#include "platform/linux/SystemTables.h"
#include "platform/linux/VolumeLabel.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>

namespace drovanta::platform {

namespace fs = std::filesystem;

namespace {

// What identifies a mount: the device number the filesystem's files carry
// and the folder of the filesystem seen at the mount point.
std::string mountIdentity(const MountEntry &mount)
{
    return std::to_string(mount.major) + ":" + std::to_string(mount.minor) + " " + mount.root;
}

class LinuxDrive final : public Drive {
public:
    LinuxDrive(MountEntry mount, const LinuxSystemPaths &paths)
        : m_mount(std::move(mount))
        , m_sysfsFolder(paths.sysfs)
        , m_diskLinks(paths.diskLinks)
        , m_tables(paths)
    {
    }

    std::string letter() const override { return m_mount.mountPoint; }

    // Asked of sysfs each time, like the other properties: a device that has
    // gone away no longer claims to be a disk.
    DriveType type() const override { return classifyMount(m_mount, m_sysfsFolder); }

    bool isReady() const override
    {
        struct statvfs info {};
        return ::statvfs(m_mount.mountPoint.c_str(), &info) == 0;
    }

    std::string volumeName() const override
    {
        std::string label = labelFromFilesystem(m_mount.mountPoint);
        if (!label.empty())
            return label;
        // FAT, exFAT, NTFS and ISO images do not answer the label ioctl; udev
        // has read their labels from the device itself. Its link by-label
        // leads to one device of those that share a label.
        const auto udev = udevProperties();
        if (const auto found = udev.find("ID_FS_LABEL_ENC"); found != udev.end() && !found->second.empty())
            return decodeUdevName(found->second);
        return fromDiskLinks("by-label");
    }

    std::uint64_t availableSpace() const override
    {
        const struct statvfs info = stats();
        return static_cast<std::uint64_t>(info.f_bavail) * info.f_frsize;
    }

    std::uint64_t totalSize() const override
    {
        const struct statvfs info = stats();
        return static_cast<std::uint64_t>(info.f_blocks) * info.f_frsize;
    }

    std::uint64_t freeSpace() const override
    {
        const struct statvfs info = stats();
        return static_cast<std::uint64_t>(info.f_bfree) * info.f_frsize;
    }

    DriveIdentity identity() const override
    {
        DriveIdentity identity;
        identity.mount = mountIdentity(m_mount);
        std::string uuid;
        const auto udev = udevProperties();
        if (const auto found = udev.find("ID_FS_UUID"); found != udev.end())
            uuid = found->second;
        if (uuid.empty())
            uuid = fromDiskLinks("by-uuid");
        if (!uuid.empty()) {
            // btrfs subvolumes of one filesystem share its UUID.
            identity.volume = "uuid " + uuid + (m_mount.root == "/" ? "" : " " + m_mount.root);
        } else {
            identity.volume = "label " + volumeName() + " at " + m_mount.mountPoint;
        }
        return identity;
    }

private:
    std::map<std::string, std::string> udevProperties() const
    {
        if (const auto device = findBlockDevice(m_sysfsFolder, m_mount))
            return m_tables.udevProperties(device->number);
        return {};
    }

    // The name of udev's link in <disk links>/<kind> to this drive's device.
    std::string fromDiskLinks(const char *kind) const
    {
        std::vector<std::string> names;
        if (const auto device = findBlockDevice(m_sysfsFolder, m_mount))
            names.push_back(device->name);
        if (m_mount.source.rfind("/dev/", 0) == 0) {
            const std::string sourceName = fs::path(m_mount.source).filename().string();
            if (!sourceName.empty())
                names.push_back(sourceName);
        }
        const dev_t number = m_mount.major != 0 ? makedev(m_mount.major, m_mount.minor) : 0;
        return labelFromLinks(m_diskLinks / kind, names, number);
    }

    struct statvfs stats() const
    {
        struct statvfs info {};
        if (::statvfs(m_mount.mountPoint.c_str(), &info) != 0) {
            const int error = errno;
            throw Failure("Drive " + m_mount.mountPoint + " is not ready: " + std::strerror(error));
        }
        return info;
    }

    MountEntry m_mount;
    fs::path m_sysfsFolder;
    fs::path m_diskLinks;
    SystemTables m_tables;
};

bool isBelow(const std::string &path, const std::string &folder)
{
    return path.size() > folder.size() && path.starts_with(folder) && path[folder.size()] == '/';
}

bool sameDevice(const std::string &a, const std::string &b)
{
    struct stat first {};
    struct stat second {};
    return ::stat(a.c_str(), &first) == 0 && ::stat(b.c_str(), &second) == 0 && first.st_dev == second.st_dev;
}

} // namespace

LinuxDriveSource::LinuxDriveSource(LinuxSystemPaths paths) : m_paths(std::move(paths))
{
    if (m_paths.home.empty()) {
        if (const char *home = std::getenv("HOME"))
            m_paths.home = home;
    }
}

std::vector<std::unique_ptr<Drive>> LinuxDriveSource::drives() const
{
    const SystemTables tables(m_paths);
    const DesktopContext context{m_paths.sysfs, m_paths.home, tables.fstab(),
                                 [&](std::string_view number) { return tables.udevProperties(number); }};

    std::vector<std::unique_ptr<Drive>> drives;
    const auto shown = [&](const MountEntry &mount) { return desktopShows(mount, context); };
    for (MountEntry &mount : driveMounts(tables.mounts(), shown))
        drives.push_back(std::make_unique<LinuxDrive>(std::move(mount), m_paths));
    return drives;
}

bool LinuxDriveSource::stillMounted(const std::string &letter, const std::string &mount) const
{
    std::vector<MountEntry> mounts;
    try {
        mounts = SystemTables(m_paths).mounts();
    } catch (const Failure &) {
        return false;
    }
    // The last mount on a mount point is the one its path reaches.
    const auto top = std::find_if(mounts.rbegin(), mounts.rend(),
                                  [&](const MountEntry &entry) { return entry.mountPoint == letter; });
    if (top == mounts.rend() || mountIdentity(*top) != mount)
        return false;
    // The table may be a moment old: the folder must carry the device's files now.
    struct stat info {};
    return ::stat(letter.c_str(), &info) == 0 && info.st_dev == makedev(top->major, top->minor);
}

bool LinuxDriveSource::awaitsMount(const std::string &folder) const
{
    // The mount bases themselves too: "mount /dev/sdb1 /mnt" is the usual
    // one-off, and /mnt with nothing mounted is a folder of the system disk.
    for (const char *place : {"/media", "/run/media", "/mnt"}) {
        if ((folder == place || isBelow(folder, place)) && sameDevice(folder, "/"))
            return true;
    }
    std::vector<MountEntry> mounts;
    try {
        mounts = SystemTables(m_paths).mounts();
    } catch (const Failure &) {
        return false;
    }
    for (const ConfiguredMount &configured : SystemTables(m_paths).fstab()) {
        const std::string &point = configured.mountPoint;
        if (point.empty() || point.front() != '/' || point == "/" || configured.fsType == "swap")
            continue;
        if (folder != point && !isBelow(folder, point))
            continue;
        const bool mounted = std::any_of(mounts.begin(), mounts.end(),
                                         [&](const MountEntry &entry) { return entry.mountPoint == point; });
        if (!mounted)
            return true;
    }
    return false;
}

} // namespace drovanta::platform
