#pragma once

#include <atomic>

namespace drovanta::backup {

// The process-wide stop request: true once "Stop Backup" (or an interrupt of
// the command line) asked the running backup to stop. Start Backup clears it.
// Atomic, since the engine's workers read it while it is set on the UI thread
// or from a signal handler.
extern std::atomic<bool> StopCopy;

} // namespace drovanta::backup
