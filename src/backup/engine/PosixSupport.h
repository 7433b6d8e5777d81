#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <utility>

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
// PATH_MAX work. With `create`, missing components are made (the last one
// with `lastMode`) and `created` tells whether
// the last one was new. Returns the descriptor or -errno.
[[nodiscard]] int openFolderPath(const std::string &path, bool create, mode_t lastMode, bool &created);

// Lets the walk keep one descriptor per level of a deep tree open.
void raiseDescriptorLimit();

} // namespace drovanta::engine::posix
