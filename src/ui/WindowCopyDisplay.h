#pragma once

#include "core/backup/CopyDisplay.h"

namespace drovanta::shell {

// The main window as the copier's display: the progress bar and its text,
// and waits that keep the window responsive with "Stop Backup" working.
backup::CopyDisplay &windowCopyDisplay();

} // namespace drovanta::shell
