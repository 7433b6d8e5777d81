#pragma once

#include <cstddef>
#include <cstdio>
#include <ctime>
#include <string>

namespace drovanta::app {

// The command line's two output streams. Progress goes to the error stream
// (so that the report on the output stream stays clean for scripts); on a
// terminal it is one line rewritten in place, elsewhere one line per step,
// each with the local time, so that logs read well.
class Console final {
public:
    Console(std::FILE *output, std::FILE *errors, bool errorsAreTerminal);

    // The process's stdout and stderr.
    static Console &standard();

    // On a terminal the line must fit in progressColumns(), or each redraw
    // leaves a line behind.
    void progress(const std::string &line);
    [[nodiscard]] bool errorsAreTerminal() const { return m_errorsAreTerminal; }
    // The columns a progress line may take on the terminal, asked anew each
    // time since the window may be resized; 0 when there is no limit (not a
    // terminal, or one that does not tell its width).
    [[nodiscard]] std::size_t progressColumns() const;
    // Ends a progress line left open on the terminal, so the next text starts
    // on a line of its own.
    void endProgress();
    void error(const std::string &text);
    void output(const std::string &text);

    // "2026-12-09 14:03:05": a moment in local time, as log lines begin.
    static std::string timeStamp(std::time_t moment);

private:
    static void writeLine(std::FILE *stream, const std::string &text);

    std::FILE *m_output;
    std::FILE *m_errors;
    bool m_errorsAreTerminal;
    bool m_progressOpen = false;
};

} // namespace drovanta::app
