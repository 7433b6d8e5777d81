#include "backup/RunReport.h"

#include "backup/RunProgress.h"

namespace drovanta::backup {
namespace {

RunReport *innermost = nullptr;

std::string elapsedText(double seconds)
{
    const auto whole = static_cast<long long>(seconds + 0.5);
    if (whole < 60)
        return std::to_string(whole) + " s";
    if (whole < 3600)
        return std::to_string(whole / 60) + " min " + std::to_string(whole % 60) + " s";
    return std::to_string(whole / 3600) + " h " + std::to_string(whole % 3600 / 60) + " min";
}

std::string describe(const engine::ItemFailure &failure)
{
    std::string line = failure.path + ": ";
    if (!failure.operation.empty())
        line += failure.operation + ": ";
    return line + failure.reason;
}

} // namespace

RunReport::RunReport() : m_outer(innermost)
{
    innermost = this;
}

RunReport::~RunReport()
{
    innermost = m_outer;
}

RunReport *RunReport::current()
{
    return innermost;
}

void RunReport::add(const engine::Result &result)
{
    m_result.merge(result);
}

void RunReport::addFailure(const std::string &path, const std::string &operation, const std::string &reason)
{
    m_result.failures.push_back({path, operation, reason, 0});
}

void RunReport::recordStop(bool counted, int total, int started)
{
    m_stopped = true;
    m_counted = counted;
    m_total = total;
    m_started = started;
}

void RunReport::addCutShort(const std::string &name)
{
    m_cutShort.push_back(name);
}

std::string RunReport::stopText() const
{
    if (!m_stopped)
        return {};
    if (!m_counted)
        return "Stopped before anything was copied.";
    const int notStarted = m_total - m_started;
    std::string text;
    if (notStarted > 0)
        text = std::to_string(notStarted) + " of " + std::to_string(m_total) + " top-level item" +
               (m_total == 1 ? " was" : "s were") + " not copied";
    for (const auto &name : m_cutShort) {
        if (!text.empty())
            text += ", ";
        text += "'" + name + "' only in part";
    }
    if (text.empty())
        return {}; // the stop came after the last item was complete
    return "Stopped before everything was copied: " + text + ".";
}

std::string RunReport::closingText() const
{
    std::string text = "Done.";
    if (refused())
        text += "\n\nNothing was copied: the backup was refused.";
    if (const std::string stop = stopText(); !stop.empty())
        text += "\n\n" + stop;
    if (m_result.destinationFailed) {
        const auto &failure = m_result.destinationFailure;
        text += "\n\nThe backup stopped early because the destination failed: " + failure.reason + ".";
        if (!failure.path.empty())
            text += "\nIt failed at " + failure.path + ".";
    }
    const auto count = m_result.failures.size();
    if (count == 1)
        text += "\n\n1 file or folder could not be copied.";
    else if (count > 1)
        text += "\n\n" + std::to_string(count) + " files and folders could not be copied.";
    if (count > 0)
        text += " The details name each one and the reason.";
    return text;
}

std::string RunReport::summaryText(double seconds) const
{
    const auto count = [](std::uint64_t n, const char *one, const char *many) {
        return std::to_string(n) + " " + (n == 1 ? one : many);
    };
    const engine::Result &r = m_result;
    std::string text = "Summary: " + count(r.files, "file", "files") + " (" + byteSizeText(r.bytes) + ") copied, " +
        count(r.unchanged, "file", "files") + " already up to date, " + count(r.folders, "folder", "folders") + ", " +
        count(r.links, "link", "links") + ", in " + elapsedText(seconds);
    text += "; " + count(r.failures.size() + (r.destinationFailed ? 1 : 0), "item", "items") + " failed";
    text += "; " + count(r.skipped.size(), "item", "items") + " not copied by design";
    if (m_stopped)
        text += "; stopped before the end";
    return text + ".";
}

std::string RunReport::failureLines() const
{
    std::string details;
    if (refused())
        details += "Refused: " + m_refusal + "\n";
    if (m_result.destinationFailed)
        details += "Destination failed: " + describe(m_result.destinationFailure) + "\n";
    for (const auto &failure : m_result.failures)
        details += describe(failure) + "\n";
    return details;
}

std::string RunReport::detailsText() const
{
    std::string details = failureLines();
    if (!m_logPath.empty())
        details += "This run is recorded in " + m_logPath + "\n";
    else if (!m_logProblem.empty())
        details += "This run could not be recorded: " + m_logProblem + "\n";
    return details;
}

} // namespace drovanta::backup
