#pragma once

#include "engine/CopyEngine.h"

#include <atomic>
#include <string>
#include <string_view>

namespace drovanta::engine {

// Whether a run ends before it opens anything, with `result` saying why: a
// source named `name` that is the system's own bookkeeping in a drive's
// root is skipped, and a raised stop token stops the run. `source` is the
// source path as the result names it.
[[nodiscard]] bool endsBeforeStart(const Params &params, const std::string &source, std::string_view name,
                                   const std::atomic<bool> &stop, Result &result);

} // namespace drovanta::engine
