#pragma once

#include "backup/engine/CopyEngine.h"

#include <functional>

namespace drovanta::backup {

// Runs `operation` on a worker thread while the UI thread waits in an event
// loop that leaves out user input: the window repaints and the close box
// works, while clicks and keys stay queued until the next time the program
// processes all pending events. An exception of the operation is rethrown
// here.
engine::Result waitWithoutFreezing(const std::function<engine::Result()> &operation);

} // namespace drovanta::backup
