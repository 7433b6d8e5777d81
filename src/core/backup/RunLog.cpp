#include "core/backup/RunLog.h"

#include "platform/Services.h"
#include "platform/StateFolder.h"

#include <ctime>

namespace drovanta::backup {
namespace {

std::string timeText(std::chrono::system_clock::time_point when)
{
    const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    std::tm local {};
#ifdef _WIN32
    localtime_s(&local, &seconds);
#else
    localtime_r(&seconds, &local);
#endif
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

std::string endingText(const RunReport &report)
{
    if (report.refused())
        return "refused: " + report.refusal();
    if (report.destinationFailed())
        return "the destination failed";
    if (report.stopped())
        return "stopped";
    if (!report.allCopied())
        return "finished; some items could not be copied";
    return "finished; everything was copied";
}

} // namespace

std::string runLogEntry(const RunReport &report, const std::string &source, const std::string &backupFolder,
                        std::chrono::system_clock::time_point started, std::chrono::system_clock::time_point ended)
{
    const std::chrono::duration<double> elapsed = ended - started;
    std::string entry = "Backup from " + timeText(started) + " to " + timeText(ended) + "\n";
    entry += "Source: " + source + "\n";
    entry += "Backup folder: " + backupFolder + "\n";
    entry += "Ended: " + endingText(report) + "\n";
    entry += report.summaryText(elapsed.count()) + "\n";
    std::string closing = report.closingText();
    if (const auto first = closing.find("\n\n"); first != std::string::npos)
        entry += closing.substr(first + 2) + "\n";
    entry += report.removalLines();
    entry += report.failureLines();
    return entry + "\n";
}

void recordRun(RunReport &report, const std::string &source, const std::string &backupFolder,
               std::chrono::system_clock::time_point started)
{
    const std::string entry = runLogEntry(report, source, backupFolder, started, std::chrono::system_clock::now());
    std::string reason;
    const std::string path = platform::appendToStateFile("runs.log", entry, reason);
    report.setLogPath(path, reason);
}

std::unique_ptr<platform::SleepBlock> keepAwake(const std::string &why)
{
    platform::Desktop *desktop = platform::services().desktop;
    return desktop ? desktop->preventSleep(why) : nullptr;
}

void announceEnd(const RunReport &report)
{
    platform::Desktop *desktop = platform::services().desktop;
    if (!desktop)
        return;
    const std::string closing = report.closingText();
    const auto lineEnd = closing.find('\n');
    std::string more;
    if (const auto paragraph = closing.find("\n\n"); paragraph != std::string::npos)
        more = closing.substr(paragraph + 2, closing.find("\n\n", paragraph + 2) - paragraph - 2);
    desktop->announce(closing.substr(0, lineEnd), more);
}

} // namespace drovanta::backup
