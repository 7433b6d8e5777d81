#pragma once

#include "core/backup/CopyDisplay.h"
#include "core/backup/MakeRoom.h"
#include "core/backup/RunProgress.h"
#include "core/backup/RunReport.h"
#include "engine/CopyEngine.h"

#include "platform/Desktop.h"
#include "platform/FileOperations.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace drovanta::backup {

// What a front-end asks of one backup run once its checks have passed.
struct BackupRequest {
    BackupRequest(std::string source, std::string folder, std::uint64_t expected = 0, bool full = false)
        : sourceRoot(std::move(source)), backupFolder(std::move(folder)), expectedBytes(expected), fullCopy(full)
    {
    }

    std::string sourceRoot;          // the source drive's root (or a folder), as the copier takes it
    std::string backupFolder;        // today's backup folder on the destination
    std::uint64_t expectedBytes = 0; // what the room check expects the run to write; 0: not known
    bool fullCopy = false;           // copy every file, sharing none with an earlier backup
    // Old backups removed to make room for this run, before it began.
    std::vector<RemovedBackup> removed;
    // Runs after a run that copied everything, before the run is recorded
    // (thinning old backups); what it removes goes into the report.
    std::function<void(RunReport &)> afterCopy;
};

// One backup run, from taking the backup folder to the run log. It owns
// everything that lives as long as the run: the report, the byte progress,
// the backup folder's lock, the sleep block and the engine's side of the run
// (the backup folder held open, the files with several names). The window
// and the command line only check, fill the request, run, and present the
// report; the copier reaches the run under way through current(), which the
// run sets for as long as it lives (a run started from the window inside
// another is the current one until it ends).
class BackupRun final {
public:
    BackupRun(BackupRequest request, CopyDisplay &display, engine::CopyEngine &engine);
    ~BackupRun();
    BackupRun(const BackupRun &) = delete;
    BackupRun &operator=(const BackupRun &) = delete;

    // Copies the source into the backup folder, writes what was written to
    // the device and records the run in the run log, once; returns the
    // report. A refused run writes nothing and is recorded as refused.
    RunReport &run();
    // Only the copy, without the sync and the run log.
    void copy();

    // The innermost run under way, or nullptr.
    [[nodiscard]] static BackupRun *current();

    [[nodiscard]] const BackupRequest &request() const { return m_request; }
    [[nodiscard]] RunReport &report() { return m_report; }
    [[nodiscard]] RunProgress &progress() { return m_progress; }
    [[nodiscard]] CopyDisplay &display() { return m_display; }

    // Takes the backup folder for this run: creates it (or takes today's
    // folder of an earlier run as it is) and locks it until the run ends.
    // Returns why the run is refused, if it is: something other than a real
    // folder stands at its place, another run holds it, or it cannot be
    // locked.
    [[nodiscard]] std::optional<std::string> takeBackupFolder();
    // Begins the engine's side of the run in the folder taken, sharing the
    // unchanged files of `previousFolder` (empty: none).
    void beginCopy(const std::string &previousFolder);
    // The engine's side of the run, or nullptr before beginCopy().
    [[nodiscard]] engine::CopyRun *engineRun() { return m_engineRun.get(); }

private:
    BackupRequest m_request;
    CopyDisplay &m_display;
    engine::CopyEngine &m_engine;
    RunReport m_report;
    RunProgress m_progress;
    std::unique_ptr<platform::FolderLock> m_lock;
    std::unique_ptr<engine::CopyRun> m_engineRun;
    BackupRun *m_outer;
    bool m_ran = false;
};

// Records a run that a front-end's checks refused before it began, with
// the reason the user was shown, in the run log.
void recordRefusal(const std::string &source, const std::string &backupFolder, const std::string &reason);

} // namespace drovanta::backup
