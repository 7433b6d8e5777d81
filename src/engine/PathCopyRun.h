#pragma once

#include "engine/CopyEngine.h"

namespace drovanta::engine {

// A call of a backup run found by path: the run's roots, and as the earlier
// backup's item the one of the same name below the earlier backup folder as
// the target below the backup folder.
[[nodiscard]] Params placedInRun(const Params &params, const RunPlaces &places);
// Writes everything cached for the backup folder's filesystem to the device;
// a failure is the destination's.
[[nodiscard]] Result syncByPath(const std::string &backupFolder);

} // namespace drovanta::engine
