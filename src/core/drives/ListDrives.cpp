// Fills both drive lists and their records, then restores the saved choices.
#include "core/drives/ListDrives.h"

#include "core/drives/DriveRecord.h"

#include "core/shell/ErrorBox.h"
#include "core/shell/SettingsStore.h"

#include "platform/DriveSource.h"
#include "platform/Services.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace drovanta::drives {

using platform::DriveType;
using shell::OnError;
namespace SettingsStore = shell::SettingsStore;

namespace {

// Selects the entry of the drive remembered by its identity, wherever it now
// stands; a drive that is not listed leaves the list without a selection, so
// that no other drive stands in for it.
void selectRememberedDrive(const DrivePanel &panel, const std::string &volume)
{
    const int position = panel.records().find(volume);
    if (position > 0)
        panel.list().setListIndex(position - 1);
}

} // namespace

void ListDrives(const DrivePanel &source, const DrivePanel &destination)
{
    OnError on("in Drovanta2021/08/31.Form1.ListDrives ");
    DriveChoices &Combo1 = source.list();
    DriveChoices &Combo2 = destination.list();
    std::vector<std::unique_ptr<platform::Drive>> drives;

    // Every listing starts from empty lists, so that "Refresh" shows each
    // drive once and the entry at position p keeps its record at p + 1. The
    // paths go with them: only a drive selected again sets them again.
    on.run(100, [&] {
        Combo1.removeAll();
        Combo2.removeAll();
        source.records().clear();
        destination.records().clear();
        source.path().setText({});
        destination.path().setText({});
    });
    on.run(100, [&] { drives = platform::services().drives->drives(); });

    for (const auto &drive : drives) {
        const std::string letter = drive->letter();
        const auto label = [&] { return drive->volumeName(); };
        const auto record = [&](const std::string &name) { return makeRecord(letter, name, drive->availableSpace()); };
        const auto identity = [&] { return drive->identity(); };

        if (on.when(102, [&] { return !drive->isReady(); }))
            continue;
        if (on.when(104, [&] { return drive->type() == DriveType::CdRom; })) {
            if (on.when(106, [&] { return !drive->isReady(); }))
                continue;
            on.run(108, [&] { source.records().add(record(label()), identity()); });
            on.run(110, [&] { Combo1.addEntry(entryText(label(), letter)); });
            on.run(112, [&] { destination.records().add(record(label()), identity()); });
            on.run(114, [&] { Combo2.addEntry(entryText(label(), letter)); });
        } else if (on.when(116, [&] {
                       const DriveType type = drive->type();
                       return type == DriveType::Fixed || type == DriveType::Removable;
                   })) {
            if (on.when(118, [&] { return label().empty(); })) {
                on.run(120, [&] { Combo1.addEntry(entryText(localDiskName, letter)); });
                on.run(122, [&] { source.records().add(record(localDiskName), identity()); });
                on.run(124, [&] { Combo2.addEntry(entryText(localDiskName, letter)); });
                on.run(126, [&] { destination.records().add(record(localDiskName), identity()); });
            } else {
                on.run(128, [&] { Combo1.addEntry(entryText(label(), letter)); });
                on.run(130, [&] { source.records().add(record(label()), identity()); });
                on.run(132, [&] { Combo2.addEntry(entryText(label(), letter)); });
                on.run(134, [&] { destination.records().add(record(label()), identity()); });
            }
        }
    }

    // The drives chosen last are remembered by their identity; only settings
    // of older versions, which lack it, fall back to the positions.
    if (on.when(138, [&] { return Combo1.count() >= 1; })) {
        std::optional<std::string> remembered;
        on.run(140, [&] { remembered = SettingsStore::findSetting("Combo1Drive"); });
        if (remembered)
            on.run(140, [&] { selectRememberedDrive(source, *remembered); });
        else
            on.run(140, [&] { Combo1.setListIndex(SettingsStore::toInteger16(SettingsStore::getSetting("Combo1", 0))); });
    }

    if (on.when(142, [&] { return Combo2.count() >= 1; })) {
        std::optional<std::string> remembered;
        on.run(144, [&] { remembered = SettingsStore::findSetting("Combo2Drive"); });
        if (remembered) {
            on.run(144, [&] { selectRememberedDrive(destination, *remembered); });
            return;
        }
        short n = 0;
        on.run(144, [&] { n = SettingsStore::toInteger16(SettingsStore::getSetting("Combo2", 1)); });
        if (on.when(146, [&] { return Combo2.count() >= n + 1; }))
            on.run(148, [&] { Combo2.setListIndex(n); });
        else
            on.run(150, [&] { Combo2.setListIndex(n > 0 ? n - 1 : 0); });
    }
}

} // namespace drovanta::drives
