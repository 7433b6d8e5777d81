// The main window as the copier's display.
#include "backup/CopyDisplay.h"

#include "backup/WaitWithoutFreezing.h"

#include "shell/Form1.h"
#include "shell/TextProgressBar.h"

#include <QCoreApplication>
#include <QPushButton>

namespace drovanta::backup {
namespace {

class WindowCopyDisplay final : public CopyDisplay {
public:
    void processEvents() override { QCoreApplication::processEvents(); }

    void setProgressValue(double percent) override { shell::Form1::instance().ProgressBar1->setPercent(percent); }

    void setProgressText(const std::string &text) override
    {
        shell::Form1::instance().ProgressBar1->setText(QString::fromStdString(text));
    }

    void repaint() override { shell::Form1::instance().Refresh(); }

    engine::Result wait(const std::function<engine::Result()> &operation) override
    {
        return waitWithoutFreezing(operation, shell::Form1::instance().PushButton4);
    }
};

WindowCopyDisplay windowDisplay;
CopyDisplay *chosen = nullptr;

} // namespace

CopyDisplay &copyDisplay()
{
    return chosen ? *chosen : windowDisplay;
}

void setCopyDisplay(CopyDisplay *display)
{
    chosen = display;
}

} // namespace drovanta::backup
