// "Start Backup" and "Stop Backup".
#include "backup/Copier.h"
#include "backup/CopyDisplay.h"
#include "backup/RoomCheck.h"
#include "backup/RunReport.h"
#include "backup/StopCopy.h"

#include "drives/DriveRecord.h"

#include "shell/DriveList.h"
#include "shell/ErrorBox.h"
#include "shell/Form1.h"
#include "shell/TextProgressBar.h"

#include "platform/MessageBoxes.h"
#include "platform/Services.h"

#include <QLineEdit>

#include <filesystem>

namespace drovanta::shell {
namespace {

void showMessage(const std::string &text)
{
    platform::MessageBox box;
    box.text = text;
    platform::services().messageBoxes->show(box);
}

// Writes what the run put on the destination to the device before the run is
// reported as done. The backup folder may be missing (a stop before it was
// created), so the sync goes to the nearest folder that exists.
void syncDestination(const std::string &backupFolder, backup::RunReport &report)
{
    std::filesystem::path folder(backupFolder);
    std::error_code ec;
    while (!folder.empty() && !std::filesystem::is_directory(folder, ec) && folder.has_parent_path() &&
           folder.parent_path() != folder)
        folder = folder.parent_path();
    if (folder.empty() || !std::filesystem::is_directory(folder, ec))
        return;
    const engine::Result result = backup::copyDisplay().wait([&] {
        engine::Result synced;
        std::string reason;
        if (!engine::syncFilesystem(folder.string(), reason)) {
            synced.destinationFailed = true;
            synced.destinationFailure = {folder.string(), "write to the device", reason, 0};
        }
        return synced;
    });
    report.add(result);
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
    on.run(102, [&] { source = drives::splitRecord(DriveRecords1->item(Combo1->currentIndex() + 1)); });
    on.run(104, [&] { destination = drives::splitRecord(DriveRecords2->item(Combo2->currentIndex() + 1)); });
    bool tooLittleRoom = false;
    std::uint64_t sourceBytes = 0;
    on.run(106, [&] {
        const double free = backup::freeSpaceField(drives::recordField(destination, 2).toStdString());
        sourceBytes = backup::roomNeededForDrive(drives::recordField(source, 0).toStdString());
        tooLittleRoom = free < static_cast<double>(sourceBytes);
    });
    if (tooLittleRoom) {
        on.run(128, [&] {
            showMessage(backup::noRoomMessage(drives::rootPath(drives::recordField(destination, 0)).toStdString(),
                                              drives::rootPath(drives::recordField(source, 0)).toStdString()));
        });
        return;
    }
    on.run(108, [this] { setMousePointer(Hourglass); });
    on.run(110, [] { backup::StopCopy = false; });
    backup::RunReport report;
    report.setExpectedBytes(sourceBytes);
    on.run(112, [&] {
        const std::string backupFolder = Text2->text().toStdString();
        backup::Copy::FS_CopyXToY(Text1->text().toStdString(), backupFolder);
        syncDestination(backupFolder, report);
    });
    on.run(114, [this] { setMousePointer(DefaultPointer); });
    on.run(126, [this] { ProgressBar1->setPercent(0); });
    on.run(124, [this] { ProgressBar1->setText(QStringLiteral("Progress Bar")); });
    on.run(122, [&] {
        platform::MessageBox box;
        box.text = report.closingText();
        if (!report.allCopied()) {
            box.icon = platform::BoxIcon::Warning;
            box.details = report.detailsText();
        }
        platform::services().messageBoxes->show(box);
    });
}

void Form1::PushButton4_Click()
{
    OnError on("in Drovanta2021/08/31.Form1.PushButton4_Click ");
    on.run(100, [] { backup::StopCopy = true; });
}

} // namespace drovanta::shell
