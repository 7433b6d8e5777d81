#pragma once

#include <string>

namespace drovanta::testing {

// The filesystems a test volume can have. ext4 is mounted by the kernel, the
// others through their user-space drivers (exfat-fuse, fusefat, ntfs-3g), as
// a machine without their kernel drivers mounts a USB stick.
enum class Filesystem { Ext4, ExFat, Fat32, Ntfs };

// An ext4 volume in an image file, loop-mounted at a temporary folder for as
// long as the object lives, and unmounted however the test ends. Needs root
// and a kernel that lets this process mount loop devices; error() says why
// not when mounted() is false, for the test's skip message.
class LoopVolume final {
public:
    // A volume of `megabytes` with the given filesystem, mounted at a folder
    // named "volume". Image files are sparse: a large volume costs little.
    LoopVolume(Filesystem filesystem, int megabytes);
    // `megabytes` of space; the volume gets `label`, and its mount point is a
    // folder named `name` (blanks allowed) in a temporary folder. ext4 keeps
    // `reservedPercent` of the blocks for the administrator.
    explicit LoopVolume(int megabytes, const std::string &label = {}, const std::string &name = "volume",
                        int reservedPercent = 0);
    ~LoopVolume();
    LoopVolume(const LoopVolume &) = delete;
    LoopVolume &operator=(const LoopVolume &) = delete;

    bool mounted() const { return m_mounted; }
    // Unmounts the volume now (as a user pulling the drive would); its mount
    // point stays, an empty folder. False when the system refused.
    bool unmount();
    // Unmounts the volume lazily, as a desktop does when a drive is pulled:
    // gone from its mount point at once, while whoever holds a folder of it
    // open goes on using it until letting go. False when the system refused.
    bool detach();
    const std::string &error() const { return m_error; }
    // The mount point, without a trailing separator.
    const std::string &path() const { return m_mountPoint; }

private:
    // Creates the temporary folder and the image file; false (with m_error) on failure.
    bool prepare(int megabytes, const std::string &name, std::string &image);
    void mountExt4(int megabytes, const std::string &label, const std::string &name, int reservedPercent);

    std::string m_folder;
    std::string m_loopDevice; // attached here when the driver needs a block device
    bool m_fuse = false;
    std::string m_mountPoint;
    std::string m_error;
    bool m_mounted = false;
};

} // namespace drovanta::testing
