#include "core/backup/CopyDisplay.h"

#include "core/backup/BackupRun.h"

namespace drovanta::backup {
namespace {

// Without a front-end nothing is shown and the caller simply waits.
class NoDisplay final : public CopyDisplay {
public:
    void processEvents() override {}
    void setProgressValue(double) override {}
    void setProgressText(const std::string &) override {}
    void repaint() override {}
    engine::Result wait(const std::function<engine::Result()> &operation) override { return operation(); }
};

NoDisplay noDisplay;
CopyDisplay *frontEnd = nullptr;

} // namespace

CopyDisplay &copyDisplay()
{
    if (BackupRun *run = BackupRun::current())
        return run->display();
    return frontEnd ? *frontEnd : noDisplay;
}

void setFrontEndCopyDisplay(CopyDisplay *display)
{
    frontEnd = display;
}

} // namespace drovanta::backup
