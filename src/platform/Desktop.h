#pragma once

#include <memory>
#include <string>

namespace drovanta::platform {

// Keeps the machine from going to sleep while it lives (a suspended laptop
// would cut a backup off from its USB drive).
class SleepBlock {
public:
    virtual ~SleepBlock() = default;
};

// What the desktop offers a long run. Where a service is missing (no session
// bus, no login manager) each call quietly does nothing.
class Desktop {
public:
    // Holds off sleep and idle suspend until the returned block is released.
    [[nodiscard]] virtual std::unique_ptr<SleepBlock> preventSleep(const std::string &why) = 0;
    // Tells the user something happened while they were elsewhere: a desktop
    // notification, else the window asks for attention.
    virtual void announce(const std::string &title, const std::string &text) = 0;

protected:
    ~Desktop() = default;
};

} // namespace drovanta::platform
