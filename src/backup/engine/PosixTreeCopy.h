#pragma once

#include "backup/engine/CopyEngine.h"

namespace drovanta::engine::posix {

// The two operations of the engine on POSIX systems; see CopyEngine.
[[nodiscard]] Result copyTree(const Params &params, ProgressSink &progress, const std::atomic<bool> &stop);
[[nodiscard]] Result copyFile(const Params &params, ProgressSink &progress, const std::atomic<bool> &stop);

} // namespace drovanta::engine::posix
