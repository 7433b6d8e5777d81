#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include <cstring>
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

// Why `name` in the open folder `folder` (shown as `shown`) could not be
// used as a `wanted` item (S_IFDIR, S_IFREG, ...): what else stands there,
// or the system's reason `error`.
inline std::string problemWith(int folder, const std::string &name, const std::string &shown, mode_t wanted,
                               int error)
{
    struct stat facts {};
    if (::fstatat(folder, name.c_str(), &facts, AT_SYMLINK_NOFOLLOW) == 0 && (facts.st_mode & S_IFMT) != wanted)
        return "'" + shown + "' is " + kindOf(facts.st_mode);
    return "'" + shown + "': " + std::strerror(error);
}

} // namespace drovanta::platform
