#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <span>
#include <utility>
#include <vector>

namespace drovanta::engine::posix {

// Owns one file descriptor. Descriptors opened for writing are closed through
// close(), whose result is checked: a destination may report a failed write
// only there.
class UniqueFd final {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    UniqueFd(UniqueFd &&other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    UniqueFd &operator=(UniqueFd &&other) noexcept
    {
        if (this != &other) {
            reset();
            m_fd = std::exchange(other.m_fd, -1);
        }
        return *this;
    }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    ~UniqueFd() { reset(); }

    [[nodiscard]] int get() const { return m_fd; }
    [[nodiscard]] bool valid() const { return m_fd >= 0; }
    [[nodiscard]] int release() { return std::exchange(m_fd, -1); }
    // Closes without looking at the outcome (descriptors only read from).
    void reset();
    // Closes and returns 0 or the errno of close().
    [[nodiscard]] int close();

private:
    int m_fd = -1;
};

// The system's text for an errno value.
[[nodiscard]] std::string errorText(int code);

// Errors that say the destination as a whole is unusable (full, read-only,
// failing, gone) rather than that one item could not be written.
[[nodiscard]] bool isDestinationFatal(int code);

[[nodiscard]] std::string joinPath(const std::string &folder, std::string_view name);

// How finely the filesystem holding `fd` keeps modification times, in
// nanoseconds. FAT and exFAT report 2 s; those compare with a tolerance.
[[nodiscard]] std::int64_t timeGranularityNs(int fd);

// Whether two modification times are the same at `granularityNs`, the
// coarser of the two filesystems' precisions. At 2 s (FAT) the times may
// differ by up to 2 s, since those filesystems round as they please.
[[nodiscard]] bool sameModificationTime(const timespec &a, const timespec &b, std::int64_t granularityNs);

// A random name with the temporary prefix, unique enough for O_EXCL to
// succeed at the first attempt in practice.
[[nodiscard]] std::string makeTemporaryName();

// Opens a folder by path one component at a time, so that paths longer than
// PATH_MAX work. Links on the way are followed: this is for paths taken as
// the user named them. Returns the descriptor or -errno.
[[nodiscard]] int openFolderPath(const std::string &path);

// A path split at its root: `root` is opened as the user named it, the
// components `below` it never through a link.
struct BeneathRoot {
    std::string root;
    std::vector<std::string> below;
};

// Splits `path` at `root`, comparing whole components ("a//b/" and "a/b" are
// the same). An empty `root` stands for the folder that holds `path`.
// Returns 0, or EINVAL when `root` does not lead `path` or a component below
// it is "..".
[[nodiscard]] int splitAtRoot(const std::string &root, const std::string &path, BeneathRoot &split);

// Opens the folder reached from `folderFd` through `components` (at least
// one) without following a link on the way or at the end: openat2 with
// RESOLVE_NO_SYMLINKS | RESOLVE_BENEATH where the kernel has it, else
// O_NOFOLLOW level by level. Returns the descriptor or -errno (ELOOP for a
// link, ENOTDIR for a file on the way).
[[nodiscard]] int openBeneath(int folderFd, std::span<const std::string> components);

// Raises the soft descriptor limit: every folder with files still queued
// keeps its source and target open until they are copied.
void raiseDescriptorLimit();

} // namespace drovanta::engine::posix
