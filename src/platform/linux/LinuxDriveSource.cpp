#include "platform/linux/LinuxDriveSource.h"

#include "platform/Failure.h"
#include "platform/linux/DriveClassifier.h"
#include "platform/linux/MountInfo.h"
#include "platform/linux/SysfsBlockDevice.h"
#include "platform/linux/VolumeLabel.h"

#include <cerrno>
#include <cstring>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>

namespace drovanta::platform {

namespace fs = std::filesystem;

namespace {

class LinuxDrive final : public Drive {
public:
    LinuxDrive(MountEntry mount, fs::path sysfsFolder, fs::path byLabelFolder)
        : m_mount(std::move(mount)), m_sysfsFolder(std::move(sysfsFolder)), m_byLabelFolder(std::move(byLabelFolder))
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
        // has read their labels from the device itself.
        std::vector<std::string> names;
        if (const auto device = findBlockDevice(m_sysfsFolder, m_mount))
            names.push_back(device->name);
        if (m_mount.source.rfind("/dev/", 0) == 0) {
            const std::string sourceName = fs::path(m_mount.source).filename().string();
            if (!sourceName.empty())
                names.push_back(sourceName);
        }
        const dev_t number = m_mount.major != 0 ? makedev(m_mount.major, m_mount.minor) : 0;
        return labelFromLinks(m_byLabelFolder, names, number);
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

private:
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
    fs::path m_byLabelFolder;
};

} // namespace

LinuxDriveSource::LinuxDriveSource(fs::path mountInfoFile, fs::path sysfsFolder, fs::path byLabelFolder)
    : m_mountInfoFile(std::move(mountInfoFile))
    , m_sysfsFolder(std::move(sysfsFolder))
    , m_byLabelFolder(std::move(byLabelFolder))
{
}

std::vector<std::unique_ptr<Drive>> LinuxDriveSource::drives() const
{
    std::vector<std::unique_ptr<Drive>> drives;
    for (MountEntry &mount : driveMounts(readMountInfo(m_mountInfoFile)))
        drives.push_back(std::make_unique<LinuxDrive>(std::move(mount), m_sysfsFolder, m_byLabelFolder));
    return drives;
}

} // namespace drovanta::platform
