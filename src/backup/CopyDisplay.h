#pragma once

#include "backup/engine/CopyEngine.h"

#include <functional>
#include <string>

namespace drovanta::backup {

class RunProgress;

// Where the copier shows its progress and how it waits for the engine: the
// main window, or the command line.
class CopyDisplay {
public:
    // Lets the front-end handle everything that is pending, then returns.
    virtual void processEvents() = 0;
    virtual void setProgressValue(double percent) = 0;
    virtual void setProgressText(const std::string &text) = 0;
    // Repaints at once.
    virtual void repaint() = 0;
    // Runs one long operation (an engine call, a sync) and returns its result.
    virtual engine::Result wait(const std::function<engine::Result()> &operation) = 0;
    // While the following waits run, the display may show `progress`: the
    // bar between `floor` (the current item's value) and `ceiling` (the next
    // item's), and the bytes, speed and time left. nullptr: nothing to follow.
    virtual void followBytes(const RunProgress *progress, double floor, double ceiling)
    {
        (void)progress;
        (void)floor;
        (void)ceiling;
    }

protected:
    ~CopyDisplay() = default;
};

// The display the copier uses; the main window's unless another was set.
CopyDisplay &copyDisplay();
// Makes `display` the copier's display (nullptr: back to the window's).
void setCopyDisplay(CopyDisplay *display);

} // namespace drovanta::backup
