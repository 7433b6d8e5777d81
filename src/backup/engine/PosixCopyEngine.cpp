#include "backup/engine/CopyEngine.h"
#include "backup/engine/PosixSupport.h"
#include "backup/engine/PosixTreeCopy.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace drovanta::engine {

Result NativeCopyEngine::copyTree(const Params &params, ProgressSink &progress, const std::atomic<bool> &stop)
{
    return posix::copyTree(params, progress, stop);
}

Result NativeCopyEngine::copyFile(const Params &params, ProgressSink &progress, const std::atomic<bool> &stop)
{
    return posix::copyFile(params, progress, stop);
}

bool syncFilesystem(const std::string &path, std::string &reason)
{
    int fd = posix::openFolderPath(path);
    if (fd < 0 && -fd == ENOTDIR)
    {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            fd = -errno;
    }
    if (fd < 0) {
        reason = posix::errorText(-fd);
        return false;
    }
    posix::UniqueFd file(fd);
    if (::syncfs(file.get()) != 0) {
        reason = posix::errorText(errno);
        return false;
    }
    return true;
}

} // namespace drovanta::engine
