#pragma once

// Owns one descriptor (POSIX) or handle (Windows) and closes it when it goes;
// for descriptors that are only read from or whose close cannot fail in a way
// the caller acts on.

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <utility>

namespace drovanta::platform {

#ifdef _WIN32
class OwnedHandle final {
public:
    explicit OwnedHandle(HANDLE handle) : m_handle(handle) {}
    ~OwnedHandle()
    {
        if (valid())
            ::CloseHandle(m_handle);
    }
    OwnedHandle(const OwnedHandle &) = delete;
    OwnedHandle &operator=(const OwnedHandle &) = delete;

    [[nodiscard]] HANDLE get() const { return m_handle; }
    [[nodiscard]] bool valid() const { return m_handle != INVALID_HANDLE_VALUE && m_handle != nullptr; }

private:
    HANDLE m_handle;
};
#else
class OwnedFd final {
public:
    explicit OwnedFd(int fd) : m_fd(fd) {}
    ~OwnedFd()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    OwnedFd(const OwnedFd &) = delete;
    OwnedFd &operator=(const OwnedFd &) = delete;

    [[nodiscard]] int get() const { return m_fd; }
    [[nodiscard]] bool valid() const { return m_fd >= 0; }
    [[nodiscard]] int release() { return std::exchange(m_fd, -1); }

private:
    int m_fd;
};
#endif

} // namespace drovanta::platform
