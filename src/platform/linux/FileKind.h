#pragma once

#include <sys/stat.h>

#include <string>

namespace drovanta::platform {

// What an entry of this mode is, as messages name it: "a link", "a file",
// "a folder", "a device", "a named pipe", "a socket", "something else".
inline std::string kindOf(mode_t mode)
{
    if (S_ISLNK(mode))
        return "a link";
    if (S_ISREG(mode))
        return "a file";
    if (S_ISDIR(mode))
        return "a folder";
    if (S_ISBLK(mode) || S_ISCHR(mode))
        return "a device";
    if (S_ISFIFO(mode))
        return "a named pipe";
    if (S_ISSOCK(mode))
        return "a socket";
    return "something else";
}

} // namespace drovanta::platform
