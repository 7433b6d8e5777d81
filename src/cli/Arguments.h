#pragma once

#include <optional>
#include <string>
#include <vector>

namespace drovanta::app {

// The command line's options as given. Parsed by hand rather than with a
// library's parser: the same parser then builds for Linux and for Windows,
// where the command-line program has no Qt, and the paths stay the bytes
// the system passed (a Linux path need not be UTF-8).
struct Arguments {
    bool help = false;
    bool helpAll = false;
    bool version = false;
    bool list = false;
    bool backup = false;
    bool quiet = false;
    bool full = false;
    // With --backup: remove the oldest backups when what must be written
    // does not fit otherwise; thin old backups after a backup that copied
    // everything (-1: no such rule); only say what would be removed.
    bool makeRoom = false;
    int keepDaily = -1;
    int keepWeekly = -1;
    int keepMonthly = -1;
    bool dryRun = false;
    bool verify = false;
    bool check = false;
    bool restore = false;
    bool overwrite = false;
    std::string verifyFolder; // --verify-folder NAME
    std::vector<std::string> positionals;

    [[nodiscard]] bool thins() const { return keepDaily >= 0 || keepWeekly >= 0 || keepMonthly >= 0; }
};

// Parses everything after the program's name. Options may stand anywhere;
// "--" ends them. Returns why the arguments make no sense, if they do not.
std::optional<std::string> parseArguments(const std::vector<std::string> &arguments, Arguments &parsed);

// Why the options given together name no single thing to do, if they do not:
// one action (help, version, list, backup, verify, check or restore) with
// the arguments it takes.
std::optional<std::string> combinationProblem(const Arguments &arguments);

// The usage text that --help prints; `hasWindow` when the same program opens
// the window without arguments.
std::string helpText(const std::string &programName, bool hasWindow);

} // namespace drovanta::app
