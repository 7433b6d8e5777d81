#include "cli/Console.h"

#include "core/shell/PrintableText.h"

#ifdef _WIN32
#include <windows.h>

#include <io.h>
#define DROVANTA_ISATTY _isatty
#define DROVANTA_FILENO _fileno
#else
#include <sys/ioctl.h>
#include <unistd.h>
#define DROVANTA_ISATTY ::isatty
#define DROVANTA_FILENO ::fileno
#endif

namespace drovanta::app {

Console::Console(std::FILE *output, std::FILE *errors, bool errorsAreTerminal)
    : m_output(output), m_errors(errors), m_errorsAreTerminal(errorsAreTerminal)
{
}

namespace {

// Whether the error stream is a terminal that takes the progress line's
// escape to erase what a longer line left. A Windows console does once it
// is asked to; one that cannot (before Windows 10) gets a line per step.
bool errorStreamIsTerminal()
{
    if (DROVANTA_ISATTY(DROVANTA_FILENO(stderr)) == 0)
        return false;
#ifdef _WIN32
    const HANDLE console = ::GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    return ::GetConsoleMode(console, &mode) &&
        ::SetConsoleMode(console, mode | ENABLE_PROCESSED_OUTPUT | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
#else
    return true;
#endif
}

} // namespace

Console &Console::standard()
{
    static Console console(stdout, stderr, errorStreamIsTerminal());
    return console;
}

std::size_t Console::progressColumns() const
{
    if (!m_errorsAreTerminal)
        return 0;
    std::size_t width = 0;
#ifdef _WIN32
    CONSOLE_SCREEN_BUFFER_INFO info{};
    const auto handle = reinterpret_cast<HANDLE>(::_get_osfhandle(DROVANTA_FILENO(m_errors)));
    if (handle != INVALID_HANDLE_VALUE && ::GetConsoleScreenBufferInfo(handle, &info) && info.dwSize.X > 0)
        width = static_cast<std::size_t>(info.dwSize.X);
#else
    winsize size{};
    if (::ioctl(DROVANTA_FILENO(m_errors), TIOCGWINSZ, &size) == 0)
        width = size.ws_col;
#endif
    // The last column stays free: a line that fills it leaves the cursor
    // waiting to wrap, and terminals differ in what the next carriage return
    // and erase then do (a console wraps at once).
    return width > 1 ? width - 1 : width;
}

std::string Console::timeStamp(std::time_t moment)
{
    std::tm local{};
#ifdef _WIN32
    ::localtime_s(&local, &moment);
#else
    ::localtime_r(&moment, &local);
#endif
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

void Console::progress(const std::string &line)
{
    if (!m_errorsAreTerminal) {
        writeLine(m_errors, timeStamp(std::time(nullptr)) + " " + line);
        return;
    }
    // Carriage return, the line, then erase what a longer previous line left.
    std::fputs("\r", m_errors);
    std::fputs(shell::printableText(line).c_str(), m_errors);
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
    // One write per line: the error stream is unbuffered, and a run writes a
    // line per item.
    std::string text = shell::printableText(line);
    if (text.empty() || text.back() != '\n')
        text += '\n';
    std::fputs(text.c_str(), stream);
    std::fflush(stream);
}

} // namespace drovanta::app
