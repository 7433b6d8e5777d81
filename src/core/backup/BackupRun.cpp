#include "core/backup/BackupRun.h"

#include "core/backup/Copier.h"
#include "core/backup/FingerprintRecord.h"
#include "core/backup/RunLog.h"
#include "core/backup/StopCopy.h"

#include "platform/Services.h"

#include <chrono>

namespace drovanta::backup {
namespace {

BackupRun *innermost = nullptr;

} // namespace

BackupRun::BackupRun(BackupRequest request, CopyDisplay &display, engine::CopyEngine &engine)
    : m_request(std::move(request)), m_display(display), m_engine(engine), m_progress(m_request.expectedBytes),
      m_outer(innermost)
{
    m_report.setExpectedBytes(m_request.expectedBytes);
    for (const auto &removed : m_request.removed)
        m_report.addRemoval(removed.name, removed.freed, "to make room");
    innermost = this;
}

BackupRun::~BackupRun()
{
    innermost = m_outer;
}

BackupRun *BackupRun::current()
{
    return innermost;
}

void BackupRun::copy()
{
    Copy::FS_CopyXToY(m_request.sourceRoot, m_request.backupFolder, m_request.fullCopy);
}

RunReport &BackupRun::run()
{
    if (m_ran)
        return m_report;
    m_ran = true;
    const auto started = std::chrono::system_clock::now();
    // A removal of an old backup that an earlier run could not finish is
    // finished first.
    (void)m_display.wait([&] {
        finishInterruptedRemovals(destinationRootOf(m_request.backupFolder));
        return engine::Result{};
    });
    {
        const auto awake = keepAwake("Backing up " + m_request.sourceRoot);
        if (awake && !awake->limitation().empty())
            m_report.addRunNote(awake->limitation());
        copy();
        if (m_engineRun != nullptr && !m_report.refused())
            m_report.add(m_display.wait([&] { return m_engineRun->sync(); }));
    }
    // The fingerprint of every file written, to check the backup later
    // without its source; written beside the backups, never inside one.
    if (m_engineRun != nullptr && !m_report.refused() && !m_report.stopped() && !m_report.destinationFailed()) {
        RecordOutcome outcome;
        (void)m_display.wait([&] {
            outcome = recordBackup(m_engine, destinationRootOf(m_request.backupFolder), m_request.backupFolder,
                                   StopCopy);
            return engine::Result{};
        });
        if (outcome.problem && *outcome.problem != "not supported on this system")
            m_report.setRecordProblem(*outcome.problem);
    }
    if (m_request.afterCopy && m_report.allCopied() && !m_report.stopped())
        m_request.afterCopy(m_report);
    recordRun(m_report, m_request.sourceRoot, m_request.backupFolder, started);
    return m_report;
}

std::optional<std::string> BackupRun::takeBackupFolder()
{
    const std::string &path = m_request.backupFolder;
    const platform::FileOperations &files = *platform::services().files;
    const auto notMadeByABackup = [&](const platform::NotAFolder &failure) {
        return "'" + path + "' is not a folder made by a backup (it is " + failure.kind() +
            "). Remove or rename it and start again.";
    };
    try {
        files.createFolder(path);
    } catch (const platform::NotAFolder &failure) {
        return notMadeByABackup(failure);
    }
    try {
        m_lock = files.lockFolder(path);
    } catch (const platform::NotAFolder &failure) {
        return notMadeByABackup(failure);
    } catch (const Failure &failure) {
        // Never a run without the lock: another could be writing there too.
        return std::string(failure.what()) + ". Nothing was copied.";
    }
    if (!m_lock)
        return "Another backup is writing to " + path + ". Wait until it has finished, then start again.";
    return std::nullopt;
}

void BackupRun::beginCopy(const std::string &previousFolder)
{
    m_engineRun = m_engine.beginRun({destinationRootOf(m_request.backupFolder), m_request.backupFolder, previousFolder});
}

void recordRefusal(const std::string &source, const std::string &backupFolder, const std::string &reason)
{
    RunReport report;
    report.refuse(reason);
    recordRun(report, source, backupFolder, std::chrono::system_clock::now());
}

} // namespace drovanta::backup
