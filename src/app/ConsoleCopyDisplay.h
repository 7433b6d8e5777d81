#pragma once

#include "backup/CopyDisplay.h"

namespace drovanta::app {

class Console;

// The copier's display on the command line: one progress line per top-level
// item, "[ 50%] Copy folder Photos". There is no event loop to keep alive, so
// the engine runs on the calling thread.
class ConsoleCopyDisplay final : public backup::CopyDisplay {
public:
    explicit ConsoleCopyDisplay(Console &console) : m_console(console) {}

    void processEvents() override {}
    void setProgressValue(double percent) override { m_percent = percent; }
    // The copier sets the value first and the text second, so the text
    // completes a step.
    void setProgressText(const std::string &text) override;
    void repaint() override {}
    engine::Result wait(const std::function<engine::Result()> &operation) override { return operation(); }

    // "[ 50%] Copy folder Photos"
    static std::string progressLine(double percent, const std::string &text);

private:
    Console &m_console;
    double m_percent = 0;
};

} // namespace drovanta::app
