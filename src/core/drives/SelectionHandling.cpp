// The two drive lists' selection handling.
#include "core/drives/ListDrives.h"

#include "core/drives/DriveRecord.h"

#include "core/shell/SettingsStore.h"

#include "platform/Clock.h"
#include "platform/Services.h"

namespace drovanta::drives {

namespace SettingsStore = shell::SettingsStore;

namespace {

// The identity of the chosen drive, which the next start looks for; empty
// when nothing is chosen.
std::string chosenDrive(const RecordList &records, int position)
{
    return position == -1 ? std::string() : records.identity(position + 1).volume;
}

} // namespace

// The position is saved as older versions read it, and the drive itself
// beside it.
void sourceChosen(const DrivePanel &source)
{
    const int position = source.list().currentIndex();
    if (position != -1) {
        const auto fields = splitRecord(source.records().item(position + 1));
        source.path().setText(rootPath(fields.at(0)));
    }
    SettingsStore::saveSetting("Combo1", std::to_string(position));
    SettingsStore::saveSetting("Combo1Drive", chosenDrive(source.records(), position));
}

void destinationChosen(const DrivePanel &destination)
{
    const int position = destination.list().currentIndex();
    if (position != -1) {
        const auto fields = splitRecord(destination.records().item(position + 1));
        destination.path().setText(backupFolderPath(fields.at(0), platform::services().clock->today()));
    }
    SettingsStore::saveSetting("Combo2", std::to_string(position));
    SettingsStore::saveSetting("Combo2Drive", chosenDrive(destination.records(), position));
}

} // namespace drovanta::drives
