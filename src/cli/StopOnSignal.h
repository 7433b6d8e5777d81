#pragma once

namespace drovanta::app {

// While it lives, an interrupt (Ctrl-C) or a termination request asks the
// running backup to stop through backup::StopCopy instead of ending the
// process: the files under way finish, nothing half-written is left under a
// real name, and the report is still printed. A second interrupt ends the
// process the usual way.
class StopOnSignal final {
public:
    StopOnSignal();
    ~StopOnSignal();
    StopOnSignal(const StopOnSignal &) = delete;
    StopOnSignal &operator=(const StopOnSignal &) = delete;

    // The signal that asked for the stop, 0 while none did.
    static int received();
};

} // namespace drovanta::app
