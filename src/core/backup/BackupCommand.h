#pragma once

#include "core/drives/DrivePanel.h"

namespace drovanta::backup {

// What the backup command needs of the window beyond the drive panels and
// the copier's display.
class BackupWindow {
public:
    // Shows that the program is busy (the hourglass) or no longer is.
    virtual void showBusy(bool busy) = 0;
    // Whether the user is looking at the window (it has the focus).
    virtual bool isActive() const = 0;

protected:
    ~BackupWindow() = default;
};

// "Start Backup": checks the chosen drives and the room, then backs up the
// source into today's backup folder on the destination and shows how it
// went. Failing statements are reported in the error box.
void StartBackup(const drives::DrivePanel &source, const drives::DrivePanel &destination, BackupWindow &window);

// "Stop Backup": asks the run under way to stop.
void StopBackup();

} // namespace drovanta::backup
