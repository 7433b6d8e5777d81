// The two drive lists' selection handling and the two "Refresh" buttons.
#include "shell/DriveList.h"
#include "shell/ErrorBox.h"
#include "shell/Form1.h"
#include "shell/SettingsStore.h"

#include "drives/DriveRecord.h"

#include "platform/Clock.h"
#include "platform/Services.h"

#include <QLineEdit>

namespace drovanta::shell {

namespace {

// The identity of the chosen drive, which the next start looks for; empty
// when nothing is chosen.
std::string chosenDrive(const drives::RecordList &records, int position)
{
    return position == -1 ? std::string() : records.identity(position + 1).volume;
}

} // namespace

// The position is saved as older versions read it, and the drive itself
// beside it.
void Form1::Combo1_Click()
{
    const int position = Combo1->currentIndex();
    if (position != -1) {
        const QStringList fields = drives::splitRecord(DriveRecords1->item(position + 1));
        Text1->setText(drives::rootPath(fields.at(0)));
    }
    SettingsStore::saveSetting("Combo1", std::to_string(position));
    SettingsStore::saveSetting("Combo1Drive", chosenDrive(*DriveRecords1, position));
}

void Form1::Combo2_Click()
{
    const int position = Combo2->currentIndex();
    if (position != -1) {
        const QStringList fields = drives::splitRecord(DriveRecords2->item(position + 1));
        Text2->setText(drives::backupFolderPath(fields.at(0), platform::services().clock->today()));
    }
    SettingsStore::saveSetting("Combo2", std::to_string(position));
    SettingsStore::saveSetting("Combo2Drive", chosenDrive(*DriveRecords2, position));
}

void Form1::PushButton2_Click()
{
    OnError on("in Drovanta2021/08/31.Form1.PushButton2_Click ");
    on.run(100, [this] { ListDrives(); });
}

void Form1::PushButton3_Click()
{
    OnError on("in Drovanta2021/08/31.Form1.PushButton3_Click ");
    on.run(100, [this] { ListDrives(); });
}

} // namespace drovanta::shell
