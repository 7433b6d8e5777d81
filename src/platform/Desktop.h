#pragma once

#include <memory>
#include <string>

namespace drovanta::platform {

// Keeps the machine from going to sleep while it lives (a suspended laptop
// would cut a backup off from its USB drive).
class SleepBlock {
public:
    virtual ~SleepBlock() = default;
    // What the block could not hold off, in a sentence for the run log;
    // empty when it holds off all that was asked.
    [[nodiscard]] virtual std::string limitation() const { return {}; }
};

// The end of a run as the desktop announces it.
struct Announcement {
    std::string title;  // the notification's summary
    std::string text;   // its body
    std::string folder; // what its "Open folder" action opens; empty: no action
};

// What the desktop offers a long run. Where a service is missing (no session
// bus, no login manager) each call quietly does nothing.
class Desktop {
public:
    // Holds off sleep and idle suspend until the returned block is released.
    // Where sleep may not be blocked (a scheduled job without a login
    // session) the block holds off idle suspend alone and says so.
    [[nodiscard]] virtual std::unique_ptr<SleepBlock> preventSleep(const std::string &why) = 0;
    // Tells the user something happened while they were elsewhere: a desktop
    // notification, else the window asks for attention.
    virtual void announce(const Announcement &announcement) = 0;

protected:
    ~Desktop() = default;
};

} // namespace drovanta::platform
