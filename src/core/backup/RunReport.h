#pragma once

#include "engine/CopyEngine.h"

#include <cstdint>
#include <string>
#include <vector>

namespace drovanta::backup {

// What one backup run copied and what it could not, collected from every
// engine operation of the run.
class RunReport final {
public:
    RunReport() = default;
    RunReport(const RunReport &) = delete;
    RunReport &operator=(const RunReport &) = delete;

    void add(const engine::Result &result);
    void addFailure(const std::string &path, const std::string &operation, const std::string &reason);
    // The run was refused before anything was written; `reason` is the
    // message the user was shown.
    void refuse(const std::string &reason) { m_refusal = reason; }
    bool refused() const { return !m_refusal.empty(); }
    const std::string &refusal() const { return m_refusal; }
    const engine::Result &result() const { return m_result; }
    bool destinationFailed() const { return m_result.destinationFailed; }

    // What the run is expected to copy, in bytes (the room it was checked
    // for); 0 when not known.
    void setExpectedBytes(std::uint64_t bytes) { m_expectedBytes = bytes; }
    std::uint64_t expectedBytes() const { return m_expectedBytes; }

    // The earlier backup ("Backup mm-dd-yyyy") whose unchanged files the
    // run shares; empty for a full copy.
    void setSharedWith(const std::string &name) { m_sharedWith = name; }
    const std::string &sharedWith() const { return m_sharedWith; }
    // "N files copied (size written); M files shared with "Backup ..."."
    // Empty when the run shared with no earlier backup.
    std::string sharingText() const;

    // A stop request ended the run: of `total` top-level items, `started`
    // were begun (`counted` is false when the stop came before the source
    // was counted).
    void recordStop(bool counted, int total, int started);
    // A top-level item whose copy the stop cut short.
    void addCutShort(const std::string &name);
    bool stopped() const { return m_stopped; }

    // The closing message: "Done." alone when everything was copied as it
    // is; else "Done." followed by what went wrong, what the destination
    // could not keep (one line per kind) and how many items are not copied
    // by design.
    std::string closingText() const;
    // One line for the end of a run: what was copied, in how long, and how
    // many items failed or were left out by design.
    std::string summaryText(double seconds) const;
    // One line per item that could not be copied (its path and the reason),
    // then the items not copied by design, each sorted by path (the engine
    // finds them in whatever order its workers meet them). Empty when there
    // is none.
    std::string failureLines() const;
    // The items that could not be copied, sorted by path.
    std::vector<engine::ItemFailure> sortedFailures() const;
    // One line per item not copied by design, with why, sorted by path.
    std::vector<std::string> notCopiedByDesignLines() const;
    // The command line's exit code for this run: 0 everything copied, 1 some
    // items or steps failed, 2 refused, 3 the destination failed, 130
    // stopped. The run log records it for the window's runs too.
    int exitCode() const;
    // The closing message's details: the failure lines, then under "Not
    // copied by design:" one line per item left out on purpose with why (and
    // what to do instead), then where the run is recorded.
    std::string detailsText() const;
    // An old backup folder removed for this run: to make room before it, or
    // by thinning after it (`why`: "to make room", "by thinning").
    void addRemoval(const std::string &name, std::uint64_t freed, const std::string &why)
    {
        m_removals.push_back({name, freed, why});
    }
    // Why no fingerprint record was written for the backup, if it was not.
    void setRecordProblem(const std::string &problem) { m_recordProblem = problem; }
    const std::string &recordProblem() const { return m_recordProblem; }
    // "Removed Backup 01-02-2026 to make room (1.2 GB freed)", one line each.
    std::string removalLines() const;

    // Whether the closing message has details worth a look: something
    // failed, was noted, stopped or refused, or items the user may have
    // expected were left out by design. The system's own bookkeeping in a
    // drive's root is left out silently.
    bool hasDetailsToTell() const;
    // Why the run log could not be written; empty when it was.
    std::string logProblem() const { return m_logPath.empty() ? m_logProblem : std::string(); }
    // Where the run log was written; or, with an empty path, why it was not.
    void setLogPath(const std::string &path, const std::string &reason)
    {
        m_logPath = path;
        m_logProblem = reason;
    }
    // Something about the run itself worth a line in the run log (the
    // machine could only be kept from idle suspend, not from sleep).
    void addRunNote(const std::string &note) { m_runNotes.push_back(note); }
    const std::vector<std::string> &runNotes() const { return m_runNotes; }
    // Steps of the run itself (not items) that failed, each reported in the
    // error box as it happened.
    void addFailedSteps(int count) { m_failedSteps += count; }
    int failedSteps() const { return m_failedSteps; }
    bool allCopied() const
    {
        return m_result.failures.empty() && !m_result.destinationFailed && !refused() && m_failedSteps == 0;
    }

private:
    std::string stopText() const;

    engine::Result m_result;
    std::string m_refusal;
    std::uint64_t m_expectedBytes = 0;
    bool m_stopped = false;
    bool m_counted = false;
    int m_total = 0;
    int m_started = 0;
    int m_failedSteps = 0;
    std::vector<std::string> m_cutShort;
    std::string m_logPath;
    std::string m_logProblem;
    std::string m_sharedWith;
    struct Removal {
        std::string name;
        std::uint64_t freed;
        std::string why;
    };
    std::vector<Removal> m_removals;
    std::string m_recordProblem;
    std::vector<std::string> m_runNotes;
};

} // namespace drovanta::backup
