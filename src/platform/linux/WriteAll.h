#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <string>

namespace drovanta::platform {

// Writes all of `text` to `fd`, going on after short writes and signals;
// false (errno set) when the system refused.
inline bool writeAll(int fd, const std::string &text)
{
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t wrote = ::write(fd, text.data() + done, text.size() - done);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            return false;
        done += static_cast<std::size_t>(wrote);
    }
    return true;
}

} // namespace drovanta::platform
