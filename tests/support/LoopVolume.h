#pragma once

#include <string>

namespace drovanta::testing {

// An ext4 volume in an image file, loop-mounted at a temporary folder for as
// long as the object lives, and unmounted however the test ends. Needs root
// and a kernel that lets this process mount loop devices; error() says why
// not when mounted() is false, for the test's skip message.
class LoopVolume final {
public:
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
    const std::string &error() const { return m_error; }
    // The mount point, without a trailing separator.
    const std::string &path() const { return m_mountPoint; }

private:
    std::string m_folder;
    std::string m_mountPoint;
    std::string m_error;
    bool m_mounted = false;
};

} // namespace drovanta::testing
