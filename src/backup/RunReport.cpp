#include "backup/RunReport.h"

namespace drovanta::backup {
namespace {

RunReport *innermost = nullptr;

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

std::string RunReport::closingText() const
{
    std::string text = "Done.";
    if (refused())
        text += "\n\nNothing was copied: the backup was refused.";
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

std::string RunReport::detailsText() const
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

} // namespace drovanta::backup
