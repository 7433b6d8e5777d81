#include "app/ConsoleCopyDisplay.h"

#include "app/Console.h"

#include "backup/RunProgress.h"

#include <algorithm>
#include <cmath>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <mutex>
#include <thread>

namespace drovanta::app {

void ConsoleCopyDisplay::setProgressText(const std::string &text)
{
    m_text = text;
    if (m_quiet)
        return;
    if (rewritesInPlace())
        showBytes();
    else
        m_console.progress(progressLine(m_percent, text));
}

bool ConsoleCopyDisplay::rewritesInPlace() const
{
    return !m_quiet && m_progress != nullptr && m_progress->expectedBytes() > 0 && m_console.errorsAreTerminal();
}

void ConsoleCopyDisplay::showBytes()
{
    const double share = static_cast<double>(m_progress->bytes()) / static_cast<double>(m_progress->expectedBytes());
    m_console.progress(progressLine(std::min(share * 100.0, 100.0), m_text + ": " + m_progress->detailText()));
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
            showBytes();
            lock.lock();
        }
    }
    worker.join();
    showBytes();
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

} // namespace drovanta::app
