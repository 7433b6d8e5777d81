#pragma once

#include "backup/engine/CopyEngine.h"

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <vector>

namespace drovanta::engine::testing {

// A folder under the system's temporary folder, removed with everything in
// it (including trees deeper than PATH_MAX and unreadable folders).
class TempFolder final {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder &) = delete;
    TempFolder &operator=(const TempFolder &) = delete;
    [[nodiscard]] const std::string &path() const { return m_path; }
    [[nodiscard]] std::string operator/(const std::string &name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

void removeTree(const std::string &path);

// Writes `content` to `path` with `mode` and the given modification time
// (seconds, nanoseconds); the access time is set one day earlier.
void writeFile(const std::string &path, const std::string &content, mode_t mode = 0644,
               std::int64_t mtimeSeconds = 1'600'000'000, long mtimeNanoseconds = 123'456'789);
[[nodiscard]] std::string readFile(const std::string &path);
[[nodiscard]] struct stat statOf(const std::string &path); // lstat; fails the test when missing

struct TreeStats {
    std::uint64_t folders = 0; // below the root
    std::uint64_t files = 0;
    std::uint64_t links = 0;
    std::uint64_t bytes = 0;
};

// A random tree: nested folders, files of 0 bytes to a few hundred KiB with
// random modes and nanosecond times, links (some dangling, some to folders).
TreeStats makeRandomTree(const std::string &root, unsigned seed, int depth = 3);

// Differences between a source tree and its copy: names, types, contents,
// modes, modification times to the nanosecond (access times for files),
// link texts. Empty when the copy is faithful. Names in `absentFromCopy`
// (full source paths) are expected to be missing from the copy.
// With `partial`, items missing from the copy are not differences: only what
// is there must be right (a run that was cut short).
[[nodiscard]] std::vector<std::string> compareTrees(const std::string &source, const std::string &copy,
                                                    const std::vector<std::string> &absentFromCopy = {},
                                                    bool partial = false);

// Full paths of the engine's temporary files anywhere under `root`.
[[nodiscard]] std::vector<std::string> temporaryFiles(const std::string &root);

[[nodiscard]] std::string describe(const Result &result);

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
