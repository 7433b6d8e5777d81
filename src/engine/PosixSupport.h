#pragma once

#include "engine/EngineError.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>

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
    // Closes a descriptor written to. A failed close is a write the
    // destination could not complete, and is reported as one.
    [[nodiscard]] Error close();

private:
    int m_fd = -1;
};

// A descriptor opened by a step, or why it could not be.
using Opened = Outcome<UniqueFd>;

// Owns one directory stream and the descriptor beneath it.
class UniqueDir final {
public:
    UniqueDir() = default;
    explicit UniqueDir(DIR *stream) : m_stream(stream) {}
    UniqueDir(UniqueDir &&other) noexcept : m_stream(std::exchange(other.m_stream, nullptr)) {}
    UniqueDir &operator=(UniqueDir &&other) noexcept
    {
        if (this != &other) {
            reset();
            m_stream = std::exchange(other.m_stream, nullptr);
        }
        return *this;
    }
    UniqueDir(const UniqueDir &) = delete;
    UniqueDir &operator=(const UniqueDir &) = delete;
    ~UniqueDir() { reset(); }

    [[nodiscard]] DIR *get() const { return m_stream; }
    [[nodiscard]] bool valid() const { return m_stream != nullptr; }
    // The descriptor the stream reads, or -1.
    [[nodiscard]] int fd() const { return m_stream != nullptr ? ::dirfd(m_stream) : -1; }
    void reset();

private:
    DIR *m_stream = nullptr;
};

// The failure the last system call left in errno, as step `operation`.
[[nodiscard]] inline Error lastError(const char *operation)
{
    return {errno, operation};
}

// A stream listing the folder `folder`, which it takes over (and closes when
// no stream can be made); the failure is reported as `operation`.
[[nodiscard]] Outcome<UniqueDir> streamOn(UniqueFd folder, const char *operation);

// A stream listing folder `folderFd` from its start, on a descriptor of its
// own ("list folder" when it cannot be made).
[[nodiscard]] Outcome<UniqueDir> openListing(int folderFd);

// The target of the link `name` in folder `folderFd`, whatever its length;
// empty when it cannot be read.
[[nodiscard]] std::string linkText(int folderFd, const std::string &name);

// The system's text for an errno value.
[[nodiscard]] std::string errorText(int code);

// Errors that say the destination as a whole is unusable (full, read-only,
// failing, gone) rather than that one item could not be written.
[[nodiscard]] bool isDestinationFatal(int code);

[[nodiscard]] std::string joinPath(const std::string &folder, std::string_view name);
// `path` without trailing slashes ("/" stays itself).
[[nodiscard]] std::string normalized(std::string path);
// The folder part of `path`: "." without one, "/" for an item of the root.
[[nodiscard]] std::string parentOf(const std::string &path);
// The last component of `path`.
[[nodiscard]] std::string baseName(const std::string &path);

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

// Makes an item under a fresh temporary name: `make(name)` returns whether
// it made one, with errno set when not. A name already taken is passed over
// for another, 16 at the most. Returns the name it was made under, or an
// empty string with errno from the last attempt.
template <typename Make>
[[nodiscard]] std::string underTemporaryName(Make &&make)
{
    int failure = EEXIST;
    for (int attempt = 0; attempt < 16 && failure == EEXIST; ++attempt) {
        std::string name = makeTemporaryName();
        if (make(name.c_str()))
            return name;
        failure = errno;
    }
    errno = failure;
    return {};
}

// Opens a folder by path one component at a time, so that paths longer than
// PATH_MAX work. Links on the way are followed: this is for paths taken as
// the user named them. Fails as "open folder".
[[nodiscard]] Opened openFolderPath(const std::string &path);

// A path split at its root: `root` is opened as the user named it, the
// components `below` it never through a link.
struct BeneathRoot {
    std::string root;
    std::vector<std::string> below;
};

// Splits `path` at `root`, comparing whole components ("a//b/" and "a/b" are
// the same). An empty `root` stands for the folder that holds `path`.
// Fails with EINVAL (as "open folder") when `root` does not lead `path` or a
// component below it is "..".
[[nodiscard]] Error splitAtRoot(const std::string &root, const std::string &path, BeneathRoot &split);

// Opens the folder reached from `folderFd` through `components` (at least
// one) without following a link on the way or at the end: openat2 with
// RESOLVE_NO_SYMLINKS | RESOLVE_BENEATH where the kernel has it, else
// O_NOFOLLOW level by level. Fails as "open folder" (ELOOP for a link,
// ENOTDIR for a file on the way).
[[nodiscard]] Opened openBeneath(int folderFd, std::span<const std::string> components);

// Raises the soft descriptor limit: every folder with files still queued
// keeps its source and target open until they are copied.
void raiseDescriptorLimit();

} // namespace drovanta::engine::posix
