#pragma once

#include "platform/Desktop.h"

#include <memory>

namespace drovanta::platform {

// The desktop on Linux through D-Bus: the login manager's inhibitor on the
// system bus, notifications on the session bus, the window's urgency hint
// as the fallback. On Windows the thread's execution state keeps the system
// awake and the taskbar button flashes.
class QtDesktop final : public Desktop {
public:
    QtDesktop();
    ~QtDesktop();
    QtDesktop(const QtDesktop &) = delete;
    QtDesktop &operator=(const QtDesktop &) = delete;

    [[nodiscard]] std::unique_ptr<SleepBlock> preventSleep(const std::string &why) override;
    void announce(const Announcement &announcement) override;

    class Actions;

private:
    // Answers the notifications' actions; made with the first notification,
    // once the application exists.
    std::unique_ptr<Actions> m_actions;
};

} // namespace drovanta::platform
