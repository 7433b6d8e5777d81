#include "core/backup/RunReport.h"

#include "core/backup/RunProgress.h"

#include <algorithm>

namespace drovanta::backup {
namespace {

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

// 1234567 as "1,234,567".
std::string grouped(std::uint64_t number)
{
    const std::string digits = std::to_string(number);
    std::string text;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            text += ',';
        text += digits[i];
    }
    return text;
}

const char *whatWasLost(engine::NoteKind kind)
{
    switch (kind) {
    case engine::NoteKind::OwnersAndPermissions:
        return "Owners and permissions";
    case engine::NoteKind::Times:
        return "Dates and times";
    case engine::NoteKind::ExtendedAttributes:
        return "Extended attributes";
    case engine::NoteKind::AccessControlLists:
        return "Access control lists";
    case engine::NoteKind::HardLinks:
        return "Hard links";
    case engine::NoteKind::SpecialFiles:
        return "FIFOs and device nodes";
    case engine::NoteKind::AlternateStreams:
        return "Alternate data streams";
    }
    return "Some details";
}

std::string noteLine(const engine::Note &note)
{
    std::string line = std::string(whatWasLost(note.kind)) + " could not be kept on this drive";
    if (!note.filesystem.empty())
        line += " (" + note.filesystem + ")";
    return line + ": " + grouped(note.items) + (note.items == 1 ? " item." : " items.");
}

std::string skippedLine(const engine::SkippedItem &item)
{
    const std::string quoted = "'" + item.path + "'";
    switch (item.reason) {
    case engine::SkipReason::OtherDrive:
        return quoted + " is another drive: choose it as a source to back it up";
    case engine::SkipReason::SystemItem:
        return quoted + " is kept by the system for its own use";
    case engine::SkipReason::Socket:
        return quoted + " is a socket, which only its running program can make";
    case engine::SkipReason::DeviceNode:
        return quoted + " is a device node, which only the administrator can make";
    case engine::SkipReason::BackupItself:
        return quoted + " is the backup being made";
    }
    return quoted;
}

} // namespace

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
    if (!m_result.notes.empty() || m_result.sharingUnavailable) {
        text += "\n";
        for (const auto &note : m_result.notes)
            text += "\n" + noteLine(note);
        if (m_result.sharingUnavailable)
            text += "\nThis drive's filesystem cannot share unchanged files between backups: every backup is a full "
                    "copy.";
    }
    // The system's own items, unfinished copies and the backup itself are
    // left out of every backup alike; the details list them, the message
    // counts what the user may have expected in the backup.
    const auto skipped = std::count_if(m_result.skipped.begin(), m_result.skipped.end(), [](const auto &item) {
        return item.reason == engine::SkipReason::OtherDrive || item.reason == engine::SkipReason::Socket
            || item.reason == engine::SkipReason::DeviceNode;
    });
    if (skipped == 1)
        text += "\n\n1 item is not copied by design; the details name it.";
    else if (skipped > 1)
        text += "\n\n" + grouped(static_cast<std::uint64_t>(skipped)) + " items are not copied by design; the details name them.";
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
    if (!m_sharedWith.empty())
        text += "; " + count(r.shared, "file", "files") + " shared with \"" + m_sharedWith + "\"";
    text += "; " + count(r.failures.size() + (r.destinationFailed ? 1 : 0), "item", "items") + " failed";
    std::uint64_t noted = 0;
    for (const auto &note : r.notes)
        noted += note.items;
    if (noted > 0)
        text += "; " + count(noted, "item", "items") + " without all of their details (see the notes)";
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
    for (const auto &failure : sortedFailures())
        details += describe(failure) + "\n";
    if (!m_result.skipped.empty()) {
        if (!details.empty())
            details += "\n";
        details += "Not copied by design:\n";
        for (const auto &line : notCopiedByDesignLines())
            details += line + "\n";
    }
    return details;
}

std::string RunReport::removalLines() const
{
    std::string lines;
    for (const auto &removal : m_removals)
        lines += "Removed " + removal.name + " " + removal.why + " (" + byteSizeText(removal.freed) + " freed)\n";
    return lines;
}

std::vector<engine::ItemFailure> RunReport::sortedFailures() const
{
    std::vector<engine::ItemFailure> failures = m_result.failures;
    std::stable_sort(failures.begin(), failures.end(),
                     [](const auto &a, const auto &b) { return a.path < b.path; });
    return failures;
}

std::vector<std::string> RunReport::notCopiedByDesignLines() const
{
    std::vector<engine::SkippedItem> skipped = m_result.skipped;
    std::stable_sort(skipped.begin(), skipped.end(), [](const auto &a, const auto &b) { return a.path < b.path; });
    std::vector<std::string> lines;
    for (const auto &item : skipped)
        lines.push_back(skippedLine(item));
    return lines;
}

int RunReport::exitCode() const
{
    if (refused())
        return 2;
    if (m_stopped)
        return 130;
    if (m_result.destinationFailed)
        return 3;
    return allCopied() ? 0 : 1;
}

bool RunReport::hasDetailsToTell() const
{
    const bool expectedLeftOut = std::any_of(m_result.skipped.begin(), m_result.skipped.end(), [](const auto &item) {
        return item.reason == engine::SkipReason::OtherDrive || item.reason == engine::SkipReason::Socket
            || item.reason == engine::SkipReason::DeviceNode;
    });
    return refused() || m_stopped || m_result.destinationFailed || !m_result.failures.empty()
        || !m_result.notes.empty() || m_result.sharingUnavailable || m_failedSteps > 0 || expectedLeftOut
        || (m_logPath.empty() && !m_logProblem.empty()) || !m_removals.empty() || !m_recordProblem.empty();
}

std::string RunReport::sharingText() const
{
    if (m_sharedWith.empty())
        return {};
    const auto files = [](std::uint64_t n) { return grouped(n) + (n == 1 ? " file" : " files"); };
    return files(m_result.files) + " copied (" + byteSizeText(m_result.bytes) + " written); " +
        files(m_result.shared) + " shared with \"" + m_sharedWith + "\".";
}

std::string RunReport::detailsText() const
{
    std::string details = failureLines();
    if (const std::string sharing = sharingText(); !sharing.empty())
        details = sharing + "\n" + (details.empty() ? "" : "\n") + details;
    if (const std::string removals = removalLines(); !removals.empty())
        details = removals + (details.empty() ? "" : "\n") + details;
    if (!m_recordProblem.empty())
        details += "No fingerprint record was written for the backup: " + m_recordProblem + ".\n";
    if (!m_logPath.empty())
        details += "This run is recorded in " + m_logPath + "\n";
    else if (!m_logProblem.empty())
        details += "This run could not be recorded: " + m_logProblem + "\n";
    return details;
}

} // namespace drovanta::backup
