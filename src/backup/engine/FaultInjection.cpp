#include "backup/engine/FaultInjection.h"

namespace drovanta::engine::faults::detail {

std::atomic<Faults *> installed{nullptr};

} // namespace drovanta::engine::faults::detail
