#include "engine/PosixNewFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace drovanta::engine::posix {

namespace {

// Links the unnamed file `fd` as `name` in folder `folderFd`.
bool linkUnnamed(UnnamedFiles way, int fd, int folderFd, const char *name)
{
    if (way == UnnamedFiles::ByDescriptor)
        return ::linkat(fd, "", folderFd, name, AT_EMPTY_PATH) == 0;
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    return ::linkat(AT_FDCWD, self.c_str(), folderFd, name, AT_SYMLINK_FOLLOW) == 0;
}

UniqueFd openUnnamed(int folderFd, mode_t mode)
{
    return UniqueFd(::openat(folderFd, ".", O_WRONLY | O_TMPFILE | O_CLOEXEC, mode));
}

// Links `fd` under a fresh temporary name in `folderFd`; false when none could be made.
bool linkTemporary(UnnamedFiles way, int fd, int folderFd, std::string &temporary)
{
    temporary = underTemporaryName([&](const char *name) { return linkUnnamed(way, fd, folderFd, name); });
    return !temporary.empty();
}

} // namespace

UnnamedFiles probeUnnamedFiles(int folderFd)
{
    const UniqueFd probe = openUnnamed(folderFd, 0600);
    if (!probe.valid())
        return UnnamedFiles::Unsupported; // not on this filesystem (FAT, exFAT, FUSE) or this system
    // Linking through the descriptor needs the right to read any folder; the
    // path in /proc needs /proc.
    for (const UnnamedFiles way : {UnnamedFiles::ByDescriptor, UnnamedFiles::ThroughProc}) {
        std::string name;
        if (linkTemporary(way, probe.get(), folderFd, name)) {
            (void)::unlinkat(folderFd, name.c_str(), 0);
            return way;
        }
    }
    return UnnamedFiles::Unsupported;
}

Outcome<NewFile> NewFile::create(int folderFd, UnnamedFiles unnamed, bool nameFree, mode_t mode)
{
    NewFile file;
    file.m_folder = folderFd;
    if (nameFree && unnamed != UnnamedFiles::Unsupported) {
        file.m_fd = openUnnamed(folderFd, mode);
        if (file.m_fd.valid()) {
            file.m_unnamed = unnamed;
            return file;
        }
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
            return Error{errno, "create file"};
    }
    file.m_temporary = underTemporaryName([&](const char *name) {
        file.m_fd = UniqueFd(::openat(folderFd, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
        return file.m_fd.valid();
    });
    if (file.m_temporary.empty())
        return Error{errno, "create file"};
    return file;
}

Outcome<NewFile> NewFile::createNamed(int folderFd, const std::string &name, UnnamedFiles unnamed, mode_t mode)
{
    NewFile file;
    file.m_folder = folderFd;
    file.m_fd = UniqueFd(::openat(folderFd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
    if (!file.m_fd.valid())
        return errno == EEXIST ? create(folderFd, unnamed, false, mode) : Outcome<NewFile>(Error{errno, "create file"});
    file.m_temporary = name;
    file.m_direct = true;
    return file;
}

Error NewFile::publish(const std::string &name)
{
    if (m_direct) {
        if (const Error closed = m_fd.close())
            return closed;
        m_temporary.clear();
        return {};
    }
    if (unnamed()) {
        // Named where the name is free; where it is not after all (a name
        // that the destination folds with another), under a temporary name
        // first, as any other file.
        if (!linkUnnamed(m_unnamed, m_fd.get(), m_folder, name.c_str())) {
            if (errno != EEXIST || !linkTemporary(m_unnamed, m_fd.get(), m_folder, m_temporary))
                return Error{errno, "replace"};
        }
        if (const Error closed = m_fd.close()) {
            (void)::unlinkat(m_folder, m_temporary.empty() ? name.c_str() : m_temporary.c_str(), 0);
            m_temporary.clear();
            return closed;
        }
        if (m_temporary.empty())
            return {};
    } else if (const Error closed = m_fd.close()) {
        return closed;
    }
    if (::renameat(m_folder, m_temporary.c_str(), m_folder, name.c_str()) != 0)
        return Error{errno, "replace"};
    m_temporary.clear();
    return {};
}

NewFile::~NewFile()
{
    m_fd.reset();
    if (!m_temporary.empty())
        (void)::unlinkat(m_folder, m_temporary.c_str(), 0);
}

} // namespace drovanta::engine::posix
