#include "engine/FaultInjection.h"

#include <algorithm>

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

std::uint64_t takeFromBudget(Faults &planted, std::uint64_t want)
{
    std::int64_t budget = planted.writableBytes.load();
    for (;;) {
        if (budget < 0)
            return want;
        const std::int64_t taken = std::min<std::int64_t>(static_cast<std::int64_t>(want), budget);
        if (planted.writableBytes.compare_exchange_weak(budget, budget - taken))
            return static_cast<std::uint64_t>(taken);
    }
}

namespace detail {

std::atomic<Faults *> installed{nullptr};

} // namespace detail

} // namespace drovanta::engine::faults
