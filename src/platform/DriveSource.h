#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace drovanta::platform {

// Drive type codes as the system classifies a drive.
enum class DriveType : int {
    Unknown = 0,
    Removable = 1,
    Fixed = 2,
    Network = 3,
    CdRom = 4,
    RamDisk = 5,
};

// Which filesystem a drive is, as the system names it when the drive is
// listed.
struct DriveIdentity {
    // Names the filesystem itself and stays the same when it is mounted again
    // or the machine restarts, whatever else comes and goes: Linux: its UUID
    // (with the subvolume, for one of several btrfs subvolumes), else its
    // label and mount point; Windows: the volume GUID path, else the serial
    // number. What the settings remember a chosen drive by.
    std::string volume;
    // Names this mount of it: Linux: the device number and the folder of the
    // filesystem seen at the mount point; Windows: the volume GUID path and
    // serial number. Compared by DriveSource::stillMounted() before a backup.
    std::string mount;
};

// One drive of the machine. Every property is read from the system at the
// moment it is asked for, so two reads may differ (a disc ejected, space used).
// Reads that fail throw drovanta::Failure with the system's reason.
class Drive {
public:
    virtual ~Drive() = default;

    // Windows: the drive letter alone ("C"). Linux: the mount point ("/media/alex/Archive").
    virtual std::string letter() const = 0;
    virtual DriveType type() const = 0;
    virtual bool isReady() const = 0;
    // The volume label; empty when the volume has none.
    virtual std::string volumeName() const = 0;
    // Bytes available to the current user.
    virtual std::uint64_t availableSpace() const = 0;
    virtual std::uint64_t totalSize() const = 0;
    // Free bytes on the volume, including those reserved for the administrator.
    virtual std::uint64_t freeSpace() const = 0;
    virtual DriveIdentity identity() const = 0;
};

// The machine's drives in the platform's order (Windows: ascending letter;
// Linux: the order of the mount table).
class DriveSource {
public:
    virtual std::vector<std::unique_ptr<Drive>> drives() const = 0;

    // True when `letter` (a drive's letter or mount point) still reaches the
    // filesystem that had the mount identity `mount` when it was listed;
    // false when it is gone, another filesystem is there, or the system
    // cannot say.
    virtual bool stillMounted(const std::string &letter, const std::string &mount) const = 0;

    // True when `folder` (canonical) is a place where a drive belongs but none
    // is mounted, so that anything written there would land on another
    // drive: Linux: a folder below /media, /run/media or /mnt that lies on
    // the root filesystem, or a folder at or below a mount point of
    // /etc/fstab on which nothing is mounted. Windows: never (a drive letter
    // without its drive does not reach any folder).
    virtual bool awaitsMount(const std::string &folder) const = 0;

protected:
    ~DriveSource() = default;
};

} // namespace drovanta::platform
