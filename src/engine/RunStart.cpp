#include "engine/RunStart.h"

#include "engine/SystemItems.h"

namespace drovanta::engine {

bool endsBeforeStart(const Params &params, const std::string &source, std::string_view name,
                     const std::atomic<bool> &stop, Result &result)
{
    if (params.atDriveRoot && isDriveBookkeepingName(name)) {
        result.skipped.push_back({source, SkipReason::SystemItem});
        return true;
    }
    if (stop.load()) {
        result.stopped = true;
        return true;
    }
    return false;
}

} // namespace drovanta::engine
