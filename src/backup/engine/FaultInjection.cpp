#include "backup/engine/FaultInjection.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace drovanta::engine::faults {

int systemError(int errnoValue)
{
#ifdef _WIN32
    switch (errnoValue) {
    case EIO:
        return ERROR_IO_DEVICE;
    case ENOSPC:
        return ERROR_DISK_FULL;
    case EACCES:
        return ERROR_ACCESS_DENIED;
    case EROFS:
        return ERROR_WRITE_PROTECT;
    case ENOENT:
        return ERROR_FILE_NOT_FOUND;
    default:
        return ERROR_GEN_FAILURE;
    }
#else
    return errnoValue;
#endif
}

namespace detail {

std::atomic<Faults *> installed{nullptr};

} // namespace detail

} // namespace drovanta::engine::faults
