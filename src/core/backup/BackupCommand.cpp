// "Start Backup" and "Stop Backup".
#include "core/backup/BackupCommand.h"

#include "core/backup/BackupRun.h"
#include "core/backup/Copier.h"
#include "core/backup/MakeRoom.h"
#include "core/backup/RunProgress.h"
#include "core/backup/CopyDisplay.h"
#include "core/backup/RoomCheck.h"
#include "core/backup/RunLog.h"
#include "core/backup/RunReport.h"
#include "core/backup/StopCopy.h"

#include "core/drives/DriveRecord.h"

#include "core/shell/ErrorBox.h"

#include "platform/Clock.h"
#include "platform/DriveSource.h"
#include "platform/Failure.h"
#include "platform/FileOperations.h"
#include "platform/MessageBoxes.h"
#include "platform/Services.h"

#include <chrono>
#include <optional>
#include <thread>

namespace drovanta::backup {
namespace {

using shell::OnError;
using shell::showMessage;
using Fields = std::vector<std::string>;

// The entry text of the chosen drive when its root no longer holds the
// filesystem that was listed (unmounted, unplugged, another drive there).
std::optional<std::string> driveGone(const drives::DrivePanel &panel, const Fields &fields)
{
    const std::string &letter = drives::recordField(fields, 0);
    const std::string &mount = panel.records().identity(panel.list().currentIndex() + 1).mount;
    if (platform::services().drives->stillMounted(letter, mount))
        return std::nullopt;
    return panel.list().currentText();
}

// The hourglass for as long as it lives.
class Busy final {
public:
    explicit Busy(BackupWindow &window) : m_window(window) { m_window.showBusy(true); }
    ~Busy() { m_window.showBusy(false); }
    Busy(const Busy &) = delete;
    Busy &operator=(const Busy &) = delete;

private:
    BackupWindow &m_window;
};

// Shows why a press starts no backup, and records the refusal in the run log.
void refuse(const drives::DrivePanel &source, const drives::DrivePanel &destination, const std::string &reason)
{
    showMessage(reason);
    recordRefusal(source.path().text(), destination.path().text(), reason);
}

} // namespace

void StartBackup(const drives::DrivePanel &sourcePanel, const drives::DrivePanel &destinationPanel,
                 BackupWindow &window)
{
    OnError on("in Drovanta2021/08/31.Form1.PushButton1_Click ");
    Fields source;
    Fields destination;

    if (on.when(100, [&] { return sourcePanel.list().currentText() == destinationPanel.list().currentText(); })) {
        on.run(130, [&] { refuse(sourcePanel, destinationPanel, "Source must not be the same as destination."); });
        return;
    }
    // A check that fails shows its box and starts nothing: a backup must not
    // go ahead on paths nobody has checked (a list without a selection).
    if (!on.run(102, [&] {
            source = drives::splitRecord(sourcePanel.records().item(sourcePanel.list().currentIndex() + 1));
        }))
        return;
    if (!on.run(104, [&] {
            destination =
                drives::splitRecord(destinationPanel.records().item(destinationPanel.list().currentIndex() + 1));
        }))
        return;
    // Both roots must still hold the filesystems that were listed: a drive
    // unmounted meanwhile leaves an empty folder on another drive.
    std::optional<std::string> gone;
    if (!on.run(132, [&] {
            gone = driveGone(sourcePanel, source);
            if (!gone)
                gone = driveGone(destinationPanel, destination);
        }))
        return;
    if (gone) {
        on.run(134, [&] {
            refuse(sourcePanel, destinationPanel,
                   "The drive '" + *gone + "' is no longer available. Press Refresh and choose again.");
        });
        return;
    }
    // Every item would fail on a destination the user cannot write to: the
    // press starts nothing and shows the box of a failed creation of the
    // backup folder, which is what the run would have met first.
    std::optional<std::string> unwritable;
    if (!on.run(140, [&] {
            unwritable = platform::services().files->writeProblem(
                drives::backupFolderPath(drives::recordField(destination, 0), platform::services().clock->today()));
        }))
        return;
    if (unwritable) {
        on.run(142, [&] {
            shell::showErrorBox(*unwritable, "in Drovanta2021/08/31.Copy.FS_CopyXToY ", 106);
            recordRefusal(sourcePanel.path().text(), destinationPanel.path().text(), *unwritable);
        });
        return;
    }
    bool tooLittleRoom = false;
    std::uint64_t sourceBytes = 0;
    double free = 0;
    if (!on.run(106, [&] {
            free = freeSpaceField(drives::recordField(destination, 2));
            sourceBytes = roomNeededForDrive(drives::recordField(source, 0));
            tooLittleRoom = free < static_cast<double>(sourceBytes);
        }))
        return;
    // Files unchanged since an earlier backup on the destination take no
    // room: only what must be written has to fit. Measuring that walks the
    // source and the earlier backup, so the window waits for it as for a
    // copy, with the hourglass and without freezing; Stop ends the press
    // with nothing written.
    if (tooLittleRoom) {
        bool stopped = false;
        if (!on.run(138, [&] {
                const std::string backupFolder = drives::backupFolderPath(drives::recordField(destination, 0),
                                                                          platform::services().clock->today());
                const std::string sourceRoot = drives::rootPath(drives::recordField(source, 0));
                const Busy busy(window);
                StopCopy = false;
                std::optional<std::uint64_t> toWrite;
                (void)copyDisplay().wait([&] {
                    toWrite = roomNeededWithEarlierBackup(sourceRoot, backupFolder, StopCopy);
                    return engine::Result{};
                });
                stopped = StopCopy.load();
                if (toWrite) {
                    sourceBytes = *toWrite;
                    tooLittleRoom = free < static_cast<double>(sourceBytes);
                }
            }))
            return;
        if (stopped)
            return;
    }
    // Old backups may make the room: the user is asked before any goes.
    std::vector<RemovedBackup> removed;
    if (tooLittleRoom) {
        const std::string letter = drives::recordField(destination, 0);
        const std::string destinationRoot = drives::rootPath(letter);
        const std::chrono::year_month_day date = calendarDate(platform::services().clock->today());
        RoomPlan plan;
        if (!on.run(140, [&] {
                const Busy busy(window);
                (void)copyDisplay().wait([&] {
                    plan = planRoom(destinationRoot, date, sourceBytes, static_cast<std::uint64_t>(free));
                    return engine::Result{};
                });
            }))
            return;
        bool yes = false;
        if (plan.enough) {
            on.run(142, [&] {
                platform::MessageBox box;
                box.text = "There is not enough room on '" + drives::recordField(destination, 1) +
                    "' for today's backup (" + byteSizeText(sourceBytes) + " must be written, " +
                    byteSizeText(static_cast<std::uint64_t>(free)) + " is free). " + removalText(plan) + " Remove " +
                    (plan.removed.size() == 1 ? "it" : "them") + " and start the backup?";
                box.icon = platform::BoxIcon::Question;
                yes = platform::services().messageBoxes->ask(box);
            });
            if (!yes)
                return;
        }
        if (yes && !on.run(144, [&] {
                const Busy busy(window);
                Removals done;
                (void)copyDisplay().wait([&] {
                    done = removeBackups(destinationRoot, plan.removed);
                    return engine::Result{};
                });
                removed = done.removed;
                // Some filesystems free the space of what was removed a
                // little later.
                for (int attempt = 0; attempt < 10; ++attempt) {
                    free = static_cast<double>(freeSpaceOfDrive(letter));
                    if (free >= static_cast<double>(sourceBytes))
                        break;
                    (void)copyDisplay().wait([] {
                        std::this_thread::sleep_for(std::chrono::milliseconds(200));
                        return engine::Result{};
                    });
                }
                tooLittleRoom = free < static_cast<double>(sourceBytes);
                for (const auto &problem : done.problems)
                    throw Failure(problem);
            }))
            return;
    }
    if (tooLittleRoom) {
        on.run(128, [&] {
            refuse(sourcePanel, destinationPanel,
                   noRoomMessage(drives::rootPath(drives::recordField(destination, 0)),
                                 drives::rootPath(drives::recordField(source, 0))));
        });
        return;
    }
    // The backup folder is named after the day the backup starts, also when
    // the destination was chosen the day before.
    if (!on.run(136, [&] {
            destinationPanel.path().setText(
                drives::backupFolderPath(drives::recordField(destination, 0), platform::services().clock->today()));
        }))
        return;
    on.run(108, [&] { window.showBusy(true); });
    on.run(110, [] { StopCopy = false; });
    CopyDisplay &display = copyDisplay();
    BackupRequest request{sourcePanel.path().text(), destinationPanel.path().text(), sourceBytes, false};
    request.removed = removed;
    BackupRun run(std::move(request), display, *platform::services().copyEngine);
    const RunReport &report = run.report();
    on.run(112, [&] {
        run.run();
        // The user may have turned to other work during a long run.
        if (!window.isActive())
            announceEnd(report, run.request().backupFolder);
    });
    on.run(114, [&] { window.showBusy(false); });
    on.run(126, [&] { display.setProgressValue(0); });
    on.run(124, [&] { display.setProgressText("Progress Bar"); });
    on.run(122, [&] {
        platform::MessageBox box;
        box.text = report.closingText();
        // A run with nothing to tell closes with the plain "Done.".
        if (report.hasDetailsToTell())
            box.details = report.detailsText();
        if (!report.allCopied())
            box.icon = platform::BoxIcon::Warning;
        platform::services().messageBoxes->show(box);
    });
}

void StopBackup()
{
    OnError on("in Drovanta2021/08/31.Form1.PushButton4_Click ");
    on.run(100, [] { StopCopy = true; });
}

} // namespace drovanta::backup
