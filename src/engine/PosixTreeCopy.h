#pragma once

#include "engine/CopyEngine.h"

namespace drovanta::engine::posix {

class RunShared;

// The two operations of the engine on POSIX systems; see CopyEngine. With
// `shared`, they are calls of that backup run (CopyRun): the target lies in
// its backup folder, reached through the folder the run holds open.
[[nodiscard]] Result copyTree(const Params &params, ProgressSink &progress, const std::atomic<bool> &stop,
                              RunShared *shared = nullptr);
[[nodiscard]] Result copyFile(const Params &params, ProgressSink &progress, const std::atomic<bool> &stop,
                              RunShared *shared = nullptr);

} // namespace drovanta::engine::posix
