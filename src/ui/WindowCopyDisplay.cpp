// The main window as the copier's display.
#include "ui/WindowCopyDisplay.h"

#include "ui/Form1.h"
#include "ui/TextProgressBar.h"
#include "ui/WaitWithoutFreezing.h"

#include "core/backup/RunProgress.h"

#include <QCoreApplication>
#include <QPushButton>
#include <QTimer>

namespace drovanta::shell {
namespace {

class WindowCopyDisplay final : public backup::CopyDisplay {
public:
    void processEvents() override { QCoreApplication::processEvents(); }

    void setProgressValue(double percent) override { Form1::instance().ProgressBar1->setPercent(percent); }

    void setProgressText(const std::string &text) override
    {
        Form1::instance().ProgressBar1->setText(QString::fromStdString(text));
    }

    void repaint() override { Form1::instance().Refresh(); }

    engine::Result wait(const std::function<engine::Result()> &operation) override
    {
        // While the engine works the bar follows the bytes, a few times a
        // second, never going back.
        QTimer ticker;
        ticker.setInterval(250);
        QObject::connect(&ticker, &QTimer::timeout, [this] { showBytes(); });
        if (m_progress)
            ticker.start();
        const engine::Result result = waitWithoutFreezing(operation, Form1::instance().PushButton4);
        if (m_progress)
            showBytes();
        return result;
    }

    void followBytes(const backup::RunProgress *progress, double floor, double ceiling) override
    {
        m_progress = progress;
        m_floor = floor;
        m_ceiling = ceiling;
        m_bytesAtStart = progress ? progress->bytes() : 0;
        if (!progress && Form1::exists())
            Form1::instance().ProgressBar1->setDetail(QString());
    }

private:
    void showBytes()
    {
        if (!m_progress || !Form1::exists())
            return;
        TextProgressBar &bar = *Form1::instance().ProgressBar1;
        const double value = m_progress->barValue(m_floor, m_ceiling, m_bytesAtStart);
        if (value > bar.percent())
            bar.setPercent(value);
        bar.setDetail(QString::fromStdString(m_progress->detailText()));
    }

    const backup::RunProgress *m_progress = nullptr;
    double m_floor = 0;
    double m_ceiling = 0;
    std::uint64_t m_bytesAtStart = 0;
};

} // namespace

backup::CopyDisplay &windowCopyDisplay()
{
    static WindowCopyDisplay display;
    return display;
}

} // namespace drovanta::shell
