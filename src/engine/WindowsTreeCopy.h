#pragma once

#include "engine/CopyEngine.h"
#include "engine/WindowsHardLinks.h"

namespace drovanta::engine::windows {

// The two operations of the engine on Windows; see CopyEngine. With
// `runLinks`, they are calls of one backup run (CopyRun): a file with
// several names stays one file across all the run's items.
[[nodiscard]] Result copyTree(const Params &params, ProgressSink &progress, const std::atomic<bool> &stop,
                              HardLinks *runLinks = nullptr);
[[nodiscard]] Result copyFile(const Params &params, ProgressSink &progress, const std::atomic<bool> &stop,
                              HardLinks *runLinks = nullptr);

} // namespace drovanta::engine::windows
