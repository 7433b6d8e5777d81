#pragma once

#include "backup/RunReport.h"

#include <string>

namespace drovanta::backup {

// Writes what the run put on the destination to the device before the run is
// reported as done, waiting through the copier's display (the window stays
// responsive). The backup folder may be missing (a stop before it was
// created), so the sync goes to the nearest folder that exists. A failure is
// the destination's and goes into `report`.
void syncDestination(const std::string &backupFolder, RunReport &report);

} // namespace drovanta::backup
