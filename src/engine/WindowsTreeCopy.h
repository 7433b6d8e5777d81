#pragma once

#include "engine/CopyEngine.h"

namespace drovanta::engine::windows {

// The two operations of the engine on Windows; see CopyEngine.
[[nodiscard]] Result copyTree(const Params &params, ProgressSink &progress, const std::atomic<bool> &stop);
[[nodiscard]] Result copyFile(const Params &params, ProgressSink &progress, const std::atomic<bool> &stop);

} // namespace drovanta::engine::windows
