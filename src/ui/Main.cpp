#include "ui/Main.h"

#include "core/shell/BuildOptions.h"

#include "platform/Application.h"
#include "platform/Clock.h"
#include "platform/RandomSource.h"
#include "platform/Services.h"
#include "platform/UrlOpener.h"

#include <cmath>
#include <filesystem>
#include <system_error>

namespace drovanta::shell::Main {

std::string programFile(const std::string &relative)
{
    std::filesystem::path path(platform::services().application->programFolder());
    path /= std::filesystem::path(relative).make_preferred();
    return path.string();
}

bool FileExists(const std::string &path)
{
    if (path.empty())
        return false;
    std::error_code ec;
    [[maybe_unused]] const auto modified = std::filesystem::last_write_time(path, ec);
    return !ec;
}

std::string appTitleFor(const std::string &productName)
{
    std::string title = productName;
    do {
        const auto blank = title.rfind(' ');
        if (blank == std::string::npos)
            break;
        title.erase(blank);
    } while (title.size() > 40);
    return title;
}

void SetAppTitle()
{
    platform::services().application->setTitle(appTitleFor(productName));
}

void RandomHomePageVisit(std::string_view address)
{
    auto &services = platform::services();
    services.random->seed(static_cast<float>(services.clock->secondsSinceMidnight()));
    const double draw = std::floor(static_cast<double>(services.random->next()) * 100.0) + 1.0;
    const auto number = static_cast<short>(draw);
    if (number == 7 && !address.empty())
        services.urlOpener->open(std::string(address));
}

void RandomHomePageVisit()
{
    RandomHomePageVisit(homePageAddress());
}

} // namespace drovanta::shell::Main
