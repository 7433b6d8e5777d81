#include "cli/ConsoleCopyDisplay.h"

#include "cli/Console.h"
#include "cli/TextColumns.h"

#include "core/backup/RunProgress.h"
#include "core/shell/PrintableText.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <mutex>
#include <string_view>
#include <thread>

namespace drovanta::app {
namespace {

// The copier's steps name their item after these words; the name is the
// part a narrow terminal may cut.
constexpr std::array<std::string_view, 2> stepWords = {"Copy folder ", "Copy file "};
// Enough of a name, cut in the middle, to tell most items apart: less, and
// the details give way.
constexpr std::size_t shortestName = 12;

std::string timeLeftText(double seconds)
{
    if (seconds < 60)
        return "less than a minute left";
    const long minutes = std::lround(seconds / 60.0);
    if (minutes < 90)
        return minutes == 1 ? "about 1 minute left" : "about " + std::to_string(minutes) + " minutes left";
    char text[48];
    std::snprintf(text, sizeof text, "about %.1f hours left", seconds / 3600.0);
    return text;
}

} // namespace

void ConsoleCopyDisplay::setProgressText(const std::string &text)
{
    m_text = text;
    if (m_quiet)
        return;
    if (m_console.errorsAreTerminal())
        show();
    else
        m_console.progress(progressLine(percent(), shell::printableLine(text)));
}

bool ConsoleCopyDisplay::rewritesInPlace() const
{
    return !m_quiet && m_progress != nullptr && m_progress->expectedBytes() > 0 && m_console.errorsAreTerminal();
}

double ConsoleCopyDisplay::percent() const
{
    if (m_progress == nullptr || m_progress->expectedBytes() == 0)
        return m_percent;
    const double share = static_cast<double>(m_progress->bytes()) / static_cast<double>(m_progress->expectedBytes());
    return std::min(share * 100.0, 100.0);
}

void ConsoleCopyDisplay::show()
{
    std::vector<std::string> details;
    if (m_progress != nullptr && m_progress->expectedBytes() > 0) {
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - m_started;
        details = byteDetails(m_progress->bytes(), m_progress->expectedBytes(), elapsed.count());
    }
    m_console.progress(fittedLine(percent(), m_text, details, m_console.progressColumns()));
}

void ConsoleCopyDisplay::followBytes(const backup::RunProgress *progress, double, double)
{
    m_progress = progress;
}

engine::Result ConsoleCopyDisplay::wait(const std::function<engine::Result()> &operation)
{
    if (!rewritesInPlace())
        return operation();
    // There is no event loop: the operation runs on a thread of its own while
    // this one redraws the line twice a second.
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    engine::Result result;
    std::exception_ptr failure;
    std::thread worker([&] {
        try {
            result = operation();
        } catch (...) {
            failure = std::current_exception();
        }
        std::lock_guard lock(mutex);
        done = true;
        finished.notify_one();
    });
    {
        std::unique_lock lock(mutex);
        while (!finished.wait_for(lock, std::chrono::milliseconds(500), [&] { return done; })) {
            lock.unlock();
            show();
            lock.lock();
        }
    }
    worker.join();
    show();
    if (failure)
        std::rethrow_exception(failure);
    return result;
}

std::string ConsoleCopyDisplay::progressLine(double percent, const std::string &text)
{
    const long whole = std::lround(std::clamp(percent, 0.0, 100.0));
    char prefix[16];
    std::snprintf(prefix, sizeof prefix, "[%3ld%%] ", whole);
    return prefix + text;
}

std::vector<std::string> ConsoleCopyDisplay::byteDetails(std::uint64_t copied, std::uint64_t expected, double seconds)
{
    std::string bytes = backup::byteSizeText(copied);
    if (expected > 0)
        bytes += " of " + backup::byteSizeText(std::max(copied, expected));
    bytes += " copied";
    if (seconds < 1 || copied == 0)
        return {bytes};
    const double speed = static_cast<double>(copied) / seconds;
    const std::string rate = backup::byteSizeText(static_cast<std::uint64_t>(speed)) + "/s";
    if (expected <= copied)
        return {bytes + ", " + rate, bytes};
    const std::string left = timeLeftText(static_cast<double>(expected - copied) / speed);
    return {bytes + ", " + rate + ", " + left, bytes + ", " + left, bytes};
}

std::string ConsoleCopyDisplay::fittedLine(double percent, const std::string &text,
                                           const std::vector<std::string> &details, std::size_t columns)
{
    std::string head = progressLine(percent, "");
    std::string_view name = text;
    for (const std::string_view words : stepWords) {
        if (name.starts_with(words)) {
            head += words;
            name.remove_prefix(words.size());
            break;
        }
    }
    const std::string shownName = shell::printableLine(name);
    if (columns == 0)
        return head + shownName + (details.empty() ? "" : ": " + details.front());
    const std::size_t nameNeeds = std::min(textColumns(shownName), shortestName);
    std::vector<std::string> tails;
    for (const std::string &detail : details)
        tails.push_back(": " + detail);
    tails.emplace_back();
    for (const std::string &tail : tails) {
        const std::size_t taken = textColumns(head) + textColumns(tail);
        if (taken + nameNeeds <= columns)
            return head + middleCut(shownName, columns - taken) + tail;
    }
    return endCut(head + shownName, columns);
}

} // namespace drovanta::app
