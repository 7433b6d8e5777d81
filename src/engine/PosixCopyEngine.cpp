#include "engine/CopyEngine.h"
#include "engine/PosixSupport.h"
#include "engine/PosixTreeCopy.h"

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
    posix::Opened file = posix::openFolderPath(path);
    if (file.error.code == ENOTDIR) {
        file = posix::UniqueFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        if (!file.value.valid())
            file = posix::lastError("open");
    }
    Error error = file.error;
    if (!error && ::syncfs(file.value.get()) != 0)
        error = posix::lastError("write");
    if (error)
        reason = posix::errorText(error.code);
    return !error;
}

} // namespace drovanta::engine
