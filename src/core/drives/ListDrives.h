#pragma once

#include "core/drives/DrivePanel.h"

namespace drovanta::drives {

// Fills both drive lists and their records from the drives the system has
// now, then selects the drives chosen last. Failing statements are reported
// in the error box as the window's drive listing.
void ListDrives(const DrivePanel &source, const DrivePanel &destination);

// A new choice in the source list: its root becomes the source path, and the
// choice is saved.
void sourceChosen(const DrivePanel &source);
// A new choice in the destination list: today's backup folder on it becomes
// the destination path, and the choice is saved.
void destinationChosen(const DrivePanel &destination);

} // namespace drovanta::drives
