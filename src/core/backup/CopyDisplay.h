#pragma once

#include "engine/CopyEngine.h"

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

// The display of the backup run under way, else the front-end's (the main
// window's while it exists), else one that shows nothing and runs each
// operation as it comes.
CopyDisplay &copyDisplay();
// Makes `display` the front-end's display (nullptr: none).
void setFrontEndCopyDisplay(CopyDisplay *display);

} // namespace drovanta::backup
