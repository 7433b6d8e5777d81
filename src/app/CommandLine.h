#pragma once

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

// Runs the program without a window: `--list`, `--backup SOURCE DESTINATION`,
// `--help`, `--version`. Needs the platform services set (except the message
// boxes, which it replaces with the console's while it runs) and no
// QCoreApplication yet. Returns the process's exit code.
int runCommandLine(int argc, char *argv[]);

} // namespace drovanta::app
