#pragma once

#include "platform/Desktop.h"

namespace drovanta::platform {

// The desktop on Linux through D-Bus: the login manager's inhibitor on the
// system bus, notifications on the session bus, the window's urgency hint
// as the fallback. On Windows the thread's execution state keeps the system
// awake and the taskbar button flashes.
class QtDesktop final : public Desktop {
public:
    [[nodiscard]] std::unique_ptr<SleepBlock> preventSleep(const std::string &why) override;
    void announce(const std::string &title, const std::string &text) override;
};

} // namespace drovanta::platform
