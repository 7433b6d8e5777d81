#include "core/backup/RunProgress.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace drovanta::backup {
namespace {

std::string oneDecimal(double value, const char *unit)
{
    char text[32];
    std::snprintf(text, sizeof text, value < 10 ? "%.1f %s" : "%.0f %s", value, unit);
    return text;
}

std::string durationText(double seconds)
{
    const auto minutes = static_cast<long>(std::lround(seconds / 60.0));
    if (seconds < 60)
        return "less than a minute";
    if (minutes < 90)
        return minutes == 1 ? "1 minute" : std::to_string(minutes) + " minutes";
    const double hours = seconds / 3600.0;
    char text[32];
    std::snprintf(text, sizeof text, "%.1f hours", hours);
    return text;
}

} // namespace

std::string byteSizeText(std::uint64_t bytes)
{
    const double value = static_cast<double>(bytes);
    if (bytes < 1000)
        return std::to_string(bytes) + " bytes";
    if (value < 1e6)
        return oneDecimal(value / 1e3, "kB");
    if (value < 1e9)
        return oneDecimal(value / 1e6, "MB");
    if (value < 1e12)
        return oneDecimal(value / 1e9, "GB");
    return oneDecimal(value / 1e12, "TB");
}

void RunProgress::fileCopied(const std::string &, std::uint64_t bytes)
{
    m_bytes.fetch_add(bytes, std::memory_order_relaxed);
}

double RunProgress::barValue(double floor, double ceiling, std::uint64_t bytesAtStart) const
{
    const std::uint64_t done = bytes();
    if (m_expected <= bytesAtStart || !(ceiling > floor) || done <= bytesAtStart)
        return floor;
    const double share = static_cast<double>(done - bytesAtStart) / static_cast<double>(m_expected - bytesAtStart);
    // Far enough below the next item's value that a rounded display does
    // not show it yet: that item's start shows it.
    const double top = std::max(floor, ceiling - 0.6);
    return std::min(floor + share * (ceiling - floor), top);
}

std::string RunProgress::detailText() const
{
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - m_started;
    return detailText(elapsed.count());
}

std::string RunProgress::detailText(double elapsedSeconds) const
{
    const std::uint64_t done = bytes();
    std::string text = byteSizeText(done);
    if (m_expected > 0)
        text += " of " + byteSizeText(std::max(done, m_expected));
    text += " copied";
    if (elapsedSeconds < 1 || done == 0)
        return text;
    const double speed = static_cast<double>(done) / elapsedSeconds;
    text += ", " + byteSizeText(static_cast<std::uint64_t>(speed)) + "/s";
    if (m_expected > done)
        text += ", about " + durationText(static_cast<double>(m_expected - done) / speed) + " left";
    return text;
}

} // namespace drovanta::backup
