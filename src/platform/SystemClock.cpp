#include "platform/SystemClock.h"

#include <chrono>
#include <ctime>

namespace drovanta::platform {
namespace {

std::tm localNow(std::chrono::system_clock::time_point now)
{
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &t);
#else
    localtime_r(&t, &local);
#endif
    return local;
}

} // namespace

LocalDate SystemClock::today() const
{
    const std::tm local = localNow(std::chrono::system_clock::now());
    return {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday};
}

double SystemClock::secondsSinceMidnight() const
{
    const auto now = std::chrono::system_clock::now();
    const std::tm local = localNow(now);
    const auto sinceEpoch = now.time_since_epoch();
    const double fraction =
        std::chrono::duration<double>(sinceEpoch - std::chrono::floor<std::chrono::seconds>(sinceEpoch)).count();
    return local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec + fraction;
}

} // namespace drovanta::platform
