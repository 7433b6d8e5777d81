#pragma once

#include <string>

namespace drovanta::engine {
class CopyEngine;
}

namespace drovanta::app {

class Console;

// The command line's checks of backups already made and its restore. Each
// returns the process's exit code (see ExitCode): 0 when all is well, 1 when
// something differs or could not be restored, 2 when it cannot start.

// --verify: the latest backup in `destination` (or `folderName` there)
// against `source`, by content. Writes nothing.
int runVerify(const std::string &source, const std::string &destination, const std::string &folderName,
              Console &console);

// --check: a backup against its fingerprint record. Writes nothing.
int runCheck(const std::string &destination, const std::string &folderName, Console &console);

// --restore: a backup folder or one item in it back into `target`.
int runRestore(const std::string &backup, const std::string &target, bool overwrite, bool dryRun,
               Console &console);

} // namespace drovanta::app
