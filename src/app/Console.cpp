#include "app/Console.h"

#include "app/PrintableText.h"

#ifdef _WIN32
#include <io.h>
#define DROVANTA_ISATTY _isatty
#define DROVANTA_FILENO _fileno
#else
#include <unistd.h>
#define DROVANTA_ISATTY ::isatty
#define DROVANTA_FILENO ::fileno
#endif

namespace drovanta::app {

Console::Console(std::FILE *output, std::FILE *errors, bool errorsAreTerminal)
    : m_output(output), m_errors(errors), m_errorsAreTerminal(errorsAreTerminal)
{
}

Console &Console::standard()
{
    static Console console(stdout, stderr, DROVANTA_ISATTY(DROVANTA_FILENO(stderr)) != 0);
    return console;
}

void Console::progress(const std::string &line)
{
    if (!m_errorsAreTerminal) {
        writeLine(m_errors, line);
        return;
    }
    // Carriage return, the line, then erase what a longer previous line left.
    std::fputs("\r", m_errors);
    std::fputs(printableText(line).c_str(), m_errors);
    std::fputs("\x1b[K", m_errors);
    std::fflush(m_errors);
    m_progressOpen = true;
}

void Console::endProgress()
{
    if (!m_progressOpen)
        return;
    std::fputs("\n", m_errors);
    std::fflush(m_errors);
    m_progressOpen = false;
}

void Console::error(const std::string &text)
{
    endProgress();
    writeLine(m_errors, text);
}

void Console::output(const std::string &text)
{
    endProgress();
    writeLine(m_output, text);
}

void Console::writeLine(std::FILE *stream, const std::string &line)
{
    const std::string text = printableText(line);
    std::fputs(text.c_str(), stream);
    if (text.empty() || text.back() != '\n')
        std::fputs("\n", stream);
    std::fflush(stream);
}

} // namespace drovanta::app
