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
};

// The machine's drives in the platform's order (Windows: ascending letter;
// Linux: the order of the mount table).
class DriveSource {
public:
    virtual std::vector<std::unique_ptr<Drive>> drives() const = 0;

protected:
    ~DriveSource() = default;
};

} // namespace drovanta::platform
