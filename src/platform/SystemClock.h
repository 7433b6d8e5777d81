#pragma once

#include "platform/Clock.h"

namespace drovanta::platform {

// The machine's local time.
class SystemClock final : public Clock {
public:
    LocalDate today() const override;
    double secondsSinceMidnight() const override;
};

} // namespace drovanta::platform
