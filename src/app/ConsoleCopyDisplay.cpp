#include "app/ConsoleCopyDisplay.h"

#include "app/Console.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace drovanta::app {

void ConsoleCopyDisplay::setProgressText(const std::string &text)
{
    m_console.progress(progressLine(m_percent, text));
}

std::string ConsoleCopyDisplay::progressLine(double percent, const std::string &text)
{
    const long whole = std::lround(std::clamp(percent, 0.0, 100.0));
    char prefix[16];
    std::snprintf(prefix, sizeof prefix, "[%3ld%%] ", whole);
    return prefix + text;
}

} // namespace drovanta::app
