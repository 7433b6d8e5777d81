#pragma once

#include "backup/CopyDisplay.h"

namespace drovanta::app {

class Console;

// The copier's display on the command line: one progress line per top-level
// item, "[ 50%] Copy folder Photos". On a terminal the line is rewritten in
// place while the engine works, with the share of the bytes and the time
// left: "[ 42%] Copy folder Photos: 12.4 GB of 80.1 GB copied, 85 MB/s, about
// 13 minutes left". Quiet: no progress at all.
class ConsoleCopyDisplay final : public backup::CopyDisplay {
public:
    ConsoleCopyDisplay(Console &console, bool quiet) : m_console(console), m_quiet(quiet) {}

    void processEvents() override {}
    void setProgressValue(double percent) override { m_percent = percent; }
    // The copier sets the value first and the text second, so the text
    // completes a step.
    void setProgressText(const std::string &text) override;
    void repaint() override {}
    engine::Result wait(const std::function<engine::Result()> &operation) override;
    void followBytes(const backup::RunProgress *progress, double floor, double ceiling) override;

    // "[ 50%] Copy folder Photos"
    static std::string progressLine(double percent, const std::string &text);

private:
    [[nodiscard]] bool rewritesInPlace() const;
    void showBytes();

    Console &m_console;
    bool m_quiet;
    double m_percent = 0;
    std::string m_text;
    const backup::RunProgress *m_progress = nullptr;
};

} // namespace drovanta::app
