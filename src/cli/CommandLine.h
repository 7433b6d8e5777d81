#pragma once

#include <string>
#include <vector>

namespace drovanta::backup {
class RunReport;
}

namespace drovanta::app {

// The command line's exit codes, for scripts and schedulers.
namespace ExitCode {
inline constexpr int allCopied = 0;
inline constexpr int someNotCopied = 1;     // the run finished, some items could not be copied
inline constexpr int refused = 2;           // nothing was copied: a check before the run failed
inline constexpr int destinationFailed = 3; // the destination failed during the run
inline constexpr int usage = 64;            // the arguments make no sense (as sysexits' EX_USAGE)
// A run stopped by Ctrl-C or SIGTERM (as a shell reports an interrupted command).
inline constexpr int stopped = 130;
} // namespace ExitCode

// The exit code of a backup run, from what its report says: refused before
// copying, stopped, the destination failed, some items or steps failed, or
// everything copied.
int exitCodeOf(const backup::RunReport &report);

// Runs the program without a window: `--list`, `--backup SOURCE DESTINATION`,
// `--help`, `--version`. `argv` is the program's name and its arguments, as
// the system passed them (on Windows converted to UTF-8); `hasWindow` when
// the program opens its window without arguments. Needs the platform
// services set, the console's message boxes among them (a main that runs
// the command line installs those, as nobody is there to dismiss a box).
// Returns the process's exit code.
int runCommandLine(const std::vector<std::string> &argv, bool hasWindow);

// Says that the window cannot open for want of a display, and returns the
// exit code: a start without arguments over ssh or from cron would otherwise
// end inside the toolkit with an abort and a core dump.
int windowWithoutDisplay();

} // namespace drovanta::app
