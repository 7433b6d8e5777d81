#pragma once

#include "platform/FileOperations.h"

#include <string>

namespace drovanta::backup {

// The copier: copies every direct sub-folder of the source root as a whole
// tree, then every file directly in it, into the backup folder, which it
// creates. Progress moves once per direct child of the source root. It lets
// the front-end process events between its steps and honours StopCopy
// between items. Failing statements are reported in the error box and the
// copier goes on; what the engine could not copy goes into the run's report.
//
// The backup folder is created one level deep in the existing destination
// root, or an earlier run's folder of the same day is merged into. Something
// other than a real folder in its place, or another run writing into it,
// refuses the run before anything is written: a message box, and the run's
// report says it was refused. The folder stays locked for the whole run.
//
// The copier works for the backup run under way (BackupRun::current()),
// whose report, progress, lock and engine run it uses; called outside a run,
// FS_CopyXToY makes a run of its own.

// Where a run reads and writes, as the user named them: the source root, and
// the destination root that holds the backup folder. Below them the engine
// follows no link.
struct Roots {
    std::string source;
    std::string target;
    // The latest earlier backup folder, whose unchanged files the run
    // shares instead of copying them again; empty for a full copy.
    std::string previous;
};

namespace Copy {
// Files that have not changed since the latest earlier backup in the
// destination root become other names of that backup's files, unless
// `fullCopy` asks for every file to be copied.
void FS_CopyXToY(std::string sourcePath, std::string backupFolderPath, bool fullCopy = false);
// Copies one root file into `folderPath` under its own name.
void FS_CopyFile(const platform::FolderItem &file, const std::string &folderPath, const Roots &roots);
} // namespace Copy

namespace Main {
// Copies the whole tree of `folder` to `targetPath`.
void FS_CopyFolder(const platform::FolderItem &folder, const std::string &targetPath, const Roots &roots);
} // namespace Main

// The folder that holds a backup folder: the destination root.
std::string destinationRootOf(const std::string &backupFolderPath);

// `folder` and `name` joined with the system's separator.
std::string childPath(const std::string &folder, const std::string &name);

} // namespace drovanta::backup
