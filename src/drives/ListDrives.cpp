// Fills both drive lists and their records, then restores the saved choices.
#include "shell/DriveList.h"
#include "shell/ErrorBox.h"
#include "shell/Form1.h"
#include "shell/SettingsStore.h"

#include "drives/DriveRecord.h"

#include "platform/DriveSource.h"
#include "platform/Services.h"

#include <QLineEdit>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace drovanta::shell {

using platform::DriveType;

namespace {

// Selects the entry of the drive remembered by its identity, wherever it now
// stands; a drive that is not listed leaves the list without a selection, so
// that no other drive stands in for it.
void selectRememberedDrive(DriveList &list, const drives::RecordList &records, const std::string &volume)
{
    const int position = records.find(volume);
    if (position > 0)
        list.setListIndex(position - 1);
}

} // namespace

void Form1::ListDrives()
{
    OnError on("in Drovanta2021/08/31.Form1.ListDrives ");
    std::vector<std::unique_ptr<platform::Drive>> drives;

    // Every listing starts from empty lists, so that "Refresh" shows each
    // drive once and the entry at position p keeps its record at p + 1. The
    // paths go with them: only a drive selected again sets them again.
    on.run(100, [this] {
        Combo1->removeAll();
        Combo2->removeAll();
        DriveRecords1->clear();
        DriveRecords2->clear();
        Text1->clear();
        Text2->clear();
    });
    on.run(100, [&] { drives = platform::services().drives->drives(); });

    for (const auto &drive : drives) {
        const QString letter = QString::fromStdString(drive->letter());
        const auto label = [&] { return QString::fromStdString(drive->volumeName()); };
        const auto record = [&](const QString &name) {
            return drives::makeRecord(letter, name, drive->availableSpace());
        };
        const auto identity = [&] { return drive->identity(); };

        if (on.when(102, [&] { return !drive->isReady(); }))
            continue;
        if (on.when(104, [&] { return drive->type() == DriveType::CdRom; })) {
            if (on.when(106, [&] { return !drive->isReady(); }))
                continue;
            on.run(108, [&] { DriveRecords1->add(record(label()), identity()); });
            on.run(110, [&] { Combo1->addEntry(drives::entryText(label(), letter)); });
            on.run(112, [&] { DriveRecords2->add(record(label()), identity()); });
            on.run(114, [&] { Combo2->addEntry(drives::entryText(label(), letter)); });
        } else if (on.when(116, [&] {
                       const DriveType type = drive->type();
                       return type == DriveType::Fixed || type == DriveType::Removable;
                   })) {
            if (on.when(118, [&] { return label().isEmpty(); })) {
                on.run(120, [&] { Combo1->addEntry(drives::entryText(drives::localDiskName, letter)); });
                on.run(122, [&] { DriveRecords1->add(record(drives::localDiskName), identity()); });
                on.run(124, [&] { Combo2->addEntry(drives::entryText(drives::localDiskName, letter)); });
                on.run(126, [&] { DriveRecords2->add(record(drives::localDiskName), identity()); });
            } else {
                on.run(128, [&] { Combo1->addEntry(drives::entryText(label(), letter)); });
                on.run(130, [&] { DriveRecords1->add(record(label()), identity()); });
                on.run(132, [&] { Combo2->addEntry(drives::entryText(label(), letter)); });
                on.run(134, [&] { DriveRecords2->add(record(label()), identity()); });
            }
        }
    }

    // The drives chosen last are remembered by their identity; only settings
    // of older versions, which lack it, fall back to the positions.
    if (on.when(138, [this] { return Combo1->count() >= 1; })) {
        std::optional<std::string> remembered;
        on.run(140, [&] { remembered = SettingsStore::findSetting("Combo1Drive"); });
        if (remembered)
            on.run(140, [&] { selectRememberedDrive(*Combo1, *DriveRecords1, *remembered); });
        else
            on.run(140, [this] { Combo1->setListIndex(SettingsStore::toInteger16(SettingsStore::getSetting("Combo1", 0))); });
    }

    if (on.when(142, [this] { return Combo2->count() >= 1; })) {
        std::optional<std::string> remembered;
        on.run(144, [&] { remembered = SettingsStore::findSetting("Combo2Drive"); });
        if (remembered) {
            on.run(144, [&] { selectRememberedDrive(*Combo2, *DriveRecords2, *remembered); });
            return;
        }
        short n = 0;
        on.run(144, [&] { n = SettingsStore::toInteger16(SettingsStore::getSetting("Combo2", 1)); });
        if (on.when(146, [&] { return Combo2->count() >= n + 1; }))
            on.run(148, [&] { Combo2->setListIndex(n); });
        else
            on.run(150, [&] { Combo2->setListIndex(n > 0 ? n - 1 : 0); });
    }
}

} // namespace drovanta::shell
