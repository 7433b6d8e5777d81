// "Start Backup" and "Stop Backup".
#include "backup/Copier.h"
#include "backup/CopyDisplay.h"
#include "backup/RoomCheck.h"
#include "backup/RunLog.h"
#include "backup/RunReport.h"
#include "backup/StopCopy.h"
#include "backup/SyncDestination.h"

#include "drives/DriveRecord.h"

#include "shell/DriveList.h"
#include "shell/ErrorBox.h"
#include "shell/Form1.h"
#include "shell/TextProgressBar.h"

#include "platform/Clock.h"
#include "platform/DriveSource.h"
#include "platform/MessageBoxes.h"
#include "platform/Services.h"

#include <QLineEdit>

#include <chrono>
#include <filesystem>
#include <optional>

namespace drovanta::shell {
namespace {

// The entry text of the chosen drive when its root no longer holds the
// filesystem that was listed (unmounted, unplugged, another drive there).
std::optional<QString> driveGone(const DriveList &list, const drives::RecordList &records, const QStringList &fields)
{
    const std::string letter = drives::recordField(fields, 0).toStdString();
    const std::string &mount = records.identity(list.currentIndex() + 1).mount;
    if (platform::services().drives->stillMounted(letter, mount))
        return std::nullopt;
    return list.currentText();
}

} // namespace

void Form1::PushButton1_Click()
{
    OnError on("in Drovanta2021/08/31.Form1.PushButton1_Click ");
    QStringList source;
    QStringList destination;

    if (on.when(100, [this] { return Combo1->currentText() == Combo2->currentText(); })) {
        on.run(130, [] { showMessage("Source must not be the same as destination."); });
        return;
    }
    // A check that fails shows its box and starts nothing: a backup must not
    // go ahead on paths nobody has checked (a list without a selection).
    if (!on.run(102, [&] { source = drives::splitRecord(DriveRecords1->item(Combo1->currentIndex() + 1)); }))
        return;
    if (!on.run(104, [&] { destination = drives::splitRecord(DriveRecords2->item(Combo2->currentIndex() + 1)); }))
        return;
    // Both roots must still hold the filesystems that were listed: a drive
    // unmounted meanwhile leaves an empty folder on another drive.
    std::optional<QString> gone;
    if (!on.run(132, [&] {
            gone = driveGone(*Combo1, *DriveRecords1, source);
            if (!gone)
                gone = driveGone(*Combo2, *DriveRecords2, destination);
        }))
        return;
    if (gone) {
        on.run(134, [&] {
            showMessage("The drive '" + gone->toStdString() + "' is no longer available. Press Refresh and choose again.");
        });
        return;
    }
    bool tooLittleRoom = false;
    std::uint64_t sourceBytes = 0;
    if (!on.run(106, [&] {
            const double free = backup::freeSpaceField(drives::recordField(destination, 2).toStdString());
            sourceBytes = backup::roomNeededForDrive(drives::recordField(source, 0).toStdString());
            tooLittleRoom = free < static_cast<double>(sourceBytes);
            // Files unchanged since an earlier backup on the destination
            // take no room: only what must be written has to fit.
            if (tooLittleRoom) {
                const std::string backupFolder = drives::backupFolderPath(drives::recordField(destination, 0),
                                                                          platform::services().clock->today())
                                                     .toStdString();
                const std::string sourceRoot = drives::rootPath(drives::recordField(source, 0)).toStdString();
                if (const auto toWrite = backup::roomNeededWithEarlierBackup(sourceRoot, backupFolder)) {
                    sourceBytes = *toWrite;
                    tooLittleRoom = free < static_cast<double>(sourceBytes);
                }
            }
        }))
        return;
    if (tooLittleRoom) {
        on.run(128, [&] {
            showMessage(backup::noRoomMessage(drives::rootPath(drives::recordField(destination, 0)).toStdString(),
                                              drives::rootPath(drives::recordField(source, 0)).toStdString()));
        });
        return;
    }
    // The backup folder is named after the day the backup starts, also when
    // the destination was chosen the day before.
    if (!on.run(136, [&] {
            Text2->setText(drives::backupFolderPath(drives::recordField(destination, 0),
                                                    platform::services().clock->today()));
        }))
        return;
    on.run(108, [this] { setMousePointer(Hourglass); });
    on.run(110, [] { backup::StopCopy = false; });
    backup::RunReport report;
    report.setExpectedBytes(sourceBytes);
    on.run(112, [&] {
        const auto started = std::chrono::system_clock::now();
        const std::string sourcePath = Text1->text().toStdString();
        const std::string backupFolder = Text2->text().toStdString();
        {
            const auto awake = backup::keepAwake("Backing up " + sourcePath);
            backup::Copy::FS_CopyXToY(sourcePath, backupFolder);
            backup::syncDestination(backupFolder, report);
        }
        backup::recordRun(report, sourcePath, backupFolder, started);
        // The user may have turned to other work during a long run.
        if (!isActiveWindow())
            backup::announceEnd(report);
    });
    on.run(114, [this] { setMousePointer(DefaultPointer); });
    on.run(126, [this] { ProgressBar1->setPercent(0); });
    on.run(124, [this] { ProgressBar1->setText(QStringLiteral("Progress Bar")); });
    on.run(122, [&] {
        platform::MessageBox box;
        box.text = report.closingText();
        box.details = report.detailsText();
        if (!report.allCopied())
            box.icon = platform::BoxIcon::Warning;
        platform::services().messageBoxes->show(box);
    });
}

void Form1::PushButton4_Click()
{
    OnError on("in Drovanta2021/08/31.Form1.PushButton4_Click ");
    on.run(100, [] { backup::StopCopy = true; });
}

} // namespace drovanta::shell
