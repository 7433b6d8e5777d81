#pragma once

// Helpers of the engine tests that only POSIX systems have: modes, lstat,
// mounting volumes.
#include "EngineTestSupport.h"

#include <sys/stat.h>

#include <cstdint>
#include <string>

namespace drovanta::engine::testing {

// writeFile, then the given mode.
void writeFileWithMode(const std::string &path, const std::string &content, mode_t mode,
                       std::int64_t mtimeSeconds = 1'600'000'000, long mtimeNanoseconds = 123'456'789);
[[nodiscard]] struct stat statOf(const std::string &path); // lstat; fails the test when missing

// Whether this process can mount filesystems (root in a namespace that allows it).
[[nodiscard]] bool canMount();

// An ext4 volume in a file, loop-mounted at a temporary folder while alive.
class LoopVolume final {
public:
    // `megabytes` of space; `error` is set (and mounted() false) when it cannot be made.
    explicit LoopVolume(int megabytes);
    ~LoopVolume();
    LoopVolume(const LoopVolume &) = delete;
    LoopVolume &operator=(const LoopVolume &) = delete;
    [[nodiscard]] bool mounted() const { return m_mounted; }
    [[nodiscard]] const std::string &error() const { return m_error; }
    [[nodiscard]] const std::string &path() const { return m_mountPoint; }

private:
    TempFolder m_folder;
    std::string m_image;
    std::string m_mountPoint;
    std::string m_error;
    bool m_mounted = false;
};

} // namespace drovanta::engine::testing
