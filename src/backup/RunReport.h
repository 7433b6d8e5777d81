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
    const engine::Result &result() const { return m_result; }
    bool destinationFailed() const { return m_result.destinationFailed; }

    // The closing message: "Done." alone when everything was copied as it
    // is; else "Done." followed by what went wrong, what the destination
    // could not keep (one line per kind) and how many items are not copied
    // by design.
    std::string closingText() const;
    // One line per item that could not be copied (its path and the reason),
    // then under "Not copied by design:" one line per item left out on
    // purpose with why (and what to do instead). Empty when there is none.
    std::string detailsText() const;
    bool allCopied() const { return m_result.failures.empty() && !m_result.destinationFailed; }

private:
    engine::Result m_result;
    RunReport *m_outer = nullptr;
};

} // namespace drovanta::backup
