#pragma once

#include "backup/engine/CopyEngine.h"

#include <string>

namespace drovanta::backup {

// What one backup run copied and what it could not, collected from every
// engine operation of the run. A run registers its report as the current one
// for as long as it lasts; a run nested inside another has its own.
class RunReport final {
public:
    RunReport();
    ~RunReport();
    RunReport(const RunReport &) = delete;
    RunReport &operator=(const RunReport &) = delete;

    // The report of the innermost run under way, or nullptr.
    static RunReport *current();

    void add(const engine::Result &result);
    void addFailure(const std::string &path, const std::string &operation, const std::string &reason);
    // The run was refused before anything was written; `reason` is the
    // message the user was shown.
    void refuse(const std::string &reason) { m_refusal = reason; }
    bool refused() const { return !m_refusal.empty(); }
    const engine::Result &result() const { return m_result; }
    bool destinationFailed() const { return m_result.destinationFailed; }

    // The closing message: "Done." alone when everything was copied; else
    // "Done." followed by what went wrong.
    std::string closingText() const;
    // One line per item that could not be copied: its path and the reason.
    std::string detailsText() const;
    bool allCopied() const { return m_result.failures.empty() && !m_result.destinationFailed && !refused(); }

private:
    engine::Result m_result;
    std::string m_refusal;
    RunReport *m_outer = nullptr;
};

} // namespace drovanta::backup
