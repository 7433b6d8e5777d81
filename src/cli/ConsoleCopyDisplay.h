#pragma once

#include "core/backup/CopyDisplay.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace drovanta::app {

class Console;

// The copier's display on the command line: one progress line per top-level
// item, "[ 50%] Copy folder Photos". The share is of the bytes when the run
// knows how many it expects, else of the top-level items. On a terminal the
// line is rewritten in place while the engine works, with the bytes and the
// time left, "[ 42%] Copy folder Photos: 34 GB of 80 GB copied, 85 MB/s,
// about 9 minutes left", and cut to the terminal's width. Quiet: no progress
// at all.
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
    // What a terminal's line tells after the step, from the most to the
    // least: "34 GB of 80 GB copied, 85 MB/s, about 9 minutes left", then
    // without the speed, then the bytes alone. `expected` 0: not known.
    static std::vector<std::string> byteDetails(std::uint64_t copied, std::uint64_t expected, double seconds);
    // The progress line in at most `columns` columns (0: no limit): the first
    // of `details` that leaves the item's name enough room, the name cut in
    // the middle if need be; on a terminal too narrow for that, the step
    // alone, cut at the end.
    static std::string fittedLine(double percent, const std::string &text, const std::vector<std::string> &details,
                                  std::size_t columns);

private:
    [[nodiscard]] bool rewritesInPlace() const;
    [[nodiscard]] double percent() const;
    void show();

    Console &m_console;
    bool m_quiet;
    double m_percent = 0;
    std::string m_text;
    const backup::RunProgress *m_progress = nullptr;
    std::chrono::steady_clock::time_point m_started = std::chrono::steady_clock::now();
};

} // namespace drovanta::app
