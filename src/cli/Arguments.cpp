#include "cli/Arguments.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace drovanta::app {
namespace {

struct Option {
    std::string_view shortName; // without the dash; empty: none
    std::string_view longName;  // without the dashes
    bool Arguments::*flag;
    std::string_view description;
};

constexpr std::array<Option, 14> options = {{
    {"h", "help", &Arguments::help, "Shows this help."},
    {"", "help-all", &Arguments::helpAll, "Shows this help (the same as --help)."},
    // No -v: to many programs it means "verbose", and a stray one must not
    // turn a scheduled backup into a version line that ends with 0.
    {"", "version", &Arguments::version, "Shows the program's name and version."},
    {"", "list", &Arguments::list, "Lists the drives: entry, root and available bytes, tab-separated."},
    {"", "backup", &Arguments::backup, "Backs up SOURCE into \"Backup mm-dd-yyyy\" in DESTINATION."},
    {"q", "quiet", &Arguments::quiet, "With --backup: no progress, only problems and the summary."},
    {"", "full", &Arguments::full, "With --backup: copy every file, sharing none with an earlier backup."},
    {"", "make-room", &Arguments::makeRoom,
     "With --backup: remove the oldest backups when what must be written does not fit otherwise."},
    {"", "verify", &Arguments::verify, "Compares the latest backup in DESTINATION with SOURCE by content."},
    {"", "check", &Arguments::check, "Compares the latest backup in DESTINATION with its fingerprints."},
    {"", "restore", &Arguments::restore, "Copies BACKUP (a backup folder or an item in one) back into TARGET."},
    {"", "overwrite", &Arguments::overwrite, "With --restore: replace items of TARGET that differ."},
    {"", "dry-run", &Arguments::dryRun,
     "With --make-room or --keep-...: list the backups that would be removed, remove and copy nothing; "
     "with --restore: only list what would be added, replaced, kept."},
    {"", "verify-folder", nullptr, "With --verify, --check: this backup folder (\"Backup mm-dd-yyyy\")."},
}};

// Options that take a count: "--keep-daily 7" or "--keep-daily=7".
struct CountOption {
    std::string_view longName;
    int Arguments::*count;
    std::string_view description;
};

constexpr std::array<CountOption, 3> countOptions = {{
    {"keep-daily", &Arguments::keepDaily,
     "N  After a backup that copied everything, keep the last backup of each of the N latest days..."},
    {"keep-weekly", &Arguments::keepWeekly, "N ...of the N latest weeks (Monday to Sunday)..."},
    {"keep-monthly", &Arguments::keepMonthly,
     "N ...and of the N latest months that have one; remove the other old backups."},
}};

const CountOption *findCountOption(std::string_view name)
{
    for (const CountOption &option : countOptions) {
        if (option.longName == name)
            return &option;
    }
    return nullptr;
}

// Options that take a value: the next argument, or after '='.
struct ValueOption {
    std::string_view longName;
    std::string Arguments::*value;
};

constexpr std::array<ValueOption, 1> valueOptions = {{
    {"verify-folder", &Arguments::verifyFolder},
}};

const ValueOption *findValueOption(std::string_view name)
{
    for (const ValueOption &option : valueOptions) {
        if (option.longName == name)
            return &option;
    }
    return nullptr;
}

// A count of 0 to 100,000 written in decimal digits.
std::optional<int> countOf(std::string_view text)
{
    const auto digit = [](char c) { return c >= '0' && c <= '9'; };
    if (text.empty() || text.size() > 6 || !std::all_of(text.begin(), text.end(), digit))
        return std::nullopt;
    const int value = std::stoi(std::string(text));
    return value <= 100'000 ? std::optional<int>(value) : std::nullopt;
}

const Option *findOption(std::string_view name, bool isLong)
{
    for (const Option &option : options) {
        if ((isLong ? option.longName : option.shortName) == name && !name.empty())
            return &option;
    }
    return nullptr;
}

} // namespace

std::optional<std::string> parseArguments(const std::vector<std::string> &arguments, Arguments &parsed)
{
    bool optionsEnded = false;
    for (std::size_t index = 0; index < arguments.size(); ++index) {
        const std::string &argument = arguments[index];
        if (argument.starts_with("--") && !optionsEnded) {
            const std::string_view name = std::string_view(argument).substr(2);
            const auto equals = name.find('=');
            if (const ValueOption *option = findValueOption(name.substr(0, equals))) {
                if (equals != std::string_view::npos)
                    parsed.*(option->value) = std::string(name.substr(equals + 1));
                else if (index + 1 < arguments.size())
                    parsed.*(option->value) = arguments[++index];
                else
                    return "'--" + std::string(option->longName) + "' needs a value.";
                continue;
            }
        }
        if (optionsEnded || argument == "-" || !argument.starts_with('-')) {
            parsed.positionals.push_back(argument);
            continue;
        }
        if (argument == "--") {
            optionsEnded = true;
            continue;
        }
        if (argument.starts_with("--")) {
            std::string_view name = std::string_view(argument).substr(2);
            const auto equals = name.find('=');
            if (const CountOption *counted = findCountOption(name.substr(0, equals))) {
                std::string_view value;
                if (equals != std::string_view::npos)
                    value = name.substr(equals + 1);
                else if (index + 1 < arguments.size())
                    value = arguments[++index];
                else
                    return "'--" + std::string(counted->longName) + "' needs a number.";
                const std::optional<int> count = countOf(value);
                if (!count)
                    return "'--" + std::string(counted->longName) + "' needs a number from 0 to 100000, not '" +
                        std::string(value) + "'.";
                parsed.*(counted->count) = *count;
                continue;
            }
            if (equals != std::string_view::npos) {
                if (findOption(name.substr(0, equals), true))
                    return "Unexpected value after '--" + std::string(name.substr(0, equals)) + "'.";
                return "Unknown option '--" + std::string(name.substr(0, equals)) + "'.";
            }
            const Option *option = findOption(name, true);
            if (!option || !option->flag)
                return "Unknown option '--" + std::string(name) + "'.";
            parsed.*(option->flag) = true;
            continue;
        }
        // Short options may be run together: "-qh".
        for (const char letter : std::string_view(argument).substr(1)) {
            if (letter == '?') {
                parsed.help = true;
                continue;
            }
            const Option *option = findOption(std::string_view(&letter, 1), false);
            if (!option)
                return "Unknown option '-" + std::string(1, letter) + "'.";
            parsed.*(option->flag) = true;
        }
    }
    return std::nullopt;
}

// What the checking and restoring actions take; nothing for the others.
std::optional<std::string> checkingProblem(const Arguments &arguments)
{
    if (!arguments.verifyFolder.empty() && !arguments.verify && !arguments.check)
        return std::string("--verify-folder goes with --verify or --check.");
    if (arguments.overwrite && !arguments.restore)
        return std::string("--overwrite goes with --restore.");
    if (arguments.verify && arguments.positionals.size() != 2)
        return std::string("--verify needs a SOURCE and a DESTINATION.");
    if (arguments.check && arguments.positionals.size() != 1)
        return std::string("--check needs a DESTINATION.");
    if (arguments.restore && arguments.positionals.size() != 2)
        return std::string("--restore needs a BACKUP and a TARGET.");
    return std::nullopt;
}

std::optional<std::string> combinationProblem(const Arguments &arguments)
{
    // Each action stands alone: a version or help request that also names a
    // backup would otherwise answer one of them and silently drop the other.
    struct Action {
        bool given;
        std::string_view name;
    };
    const std::array<Action, 7> actions = {{
        {arguments.help || arguments.helpAll, arguments.helpAll && !arguments.help ? "--help-all" : "--help"},
        {arguments.version, "--version"},
        {arguments.list, "--list"},
        {arguments.backup, "--backup"},
        {arguments.verify, "--verify"},
        {arguments.check, "--check"},
        {arguments.restore, "--restore"},
    }};
    const Action *chosen = nullptr;
    for (const Action &action : actions) {
        if (!action.given)
            continue;
        if (chosen)
            return std::string(chosen->name) + " cannot be combined with " + std::string(action.name) + ".";
        chosen = &action;
    }
    if (!chosen)
        return std::string("Nothing to do: give --backup SOURCE DESTINATION or --list.");
    if (const auto problem = checkingProblem(arguments))
        return problem;
    if ((arguments.makeRoom || arguments.thins() || arguments.dryRun) && !arguments.backup
        && !(arguments.dryRun && arguments.restore && !arguments.makeRoom && !arguments.thins()))
        return std::string("--make-room, --keep-... and --dry-run go with --backup (--dry-run also with --restore).");
    if (arguments.verify || arguments.check || arguments.restore)
        return std::nullopt;
    if (arguments.backup) {
        if (arguments.positionals.size() != 2)
            return std::string("--backup needs a SOURCE and a DESTINATION.");
        if (arguments.dryRun && !arguments.makeRoom && !arguments.thins())
            return std::string("--dry-run goes with --make-room or --keep-daily, --keep-weekly, --keep-monthly.");
        return std::nullopt;
    }
    if (!arguments.positionals.empty())
        return std::string(chosen->name) + " takes no arguments.";
    return std::nullopt;
}

std::string helpText(const std::string &programName, bool hasWindow)
{
    // Each form of the program on a line of its own: options in brackets are
    // optional, the others are needed.
    const std::string indent(std::string_view("Usage: ").size(), ' ');
    std::string text = "Usage: " + programName + " --backup [--quiet] [--full] [--make-room] [--keep-daily N]\n" +
        indent + "         [--keep-weekly N] [--keep-monthly N] [--dry-run] SOURCE DESTINATION\n" +
        indent + programName + " --list\n" +
        indent + programName + " --verify [--verify-folder NAME] SOURCE DESTINATION\n" +
        indent + programName + " --check [--verify-folder NAME] DESTINATION\n" +
        indent + programName + " --restore [--overwrite] [--dry-run] BACKUP[/PATH] TARGET\n" +
        indent + programName + " --help | --version\n";
    if (hasWindow)
        text += indent + programName + " [Qt's options]\n";
    text += "Backs up a whole drive (or folder) into \"Backup mm-dd-yyyy\" on another drive (or folder).\n"
        "\n";
    if (hasWindow)
        text += "Without arguments, or with Qt's own options only (-style, -platform...), the window opens;\n"
                "it needs a display.\n\n";
    text += "Exit codes: 0 everything copied, 1 some items could not be copied, 2 refused before copying,\n"
        "3 the destination failed, 64 wrong arguments, 130 when stopped by Ctrl-C or SIGTERM.\n"
        "\n"
        "Options:\n";
    constexpr std::size_t column = 18;
    for (const Option &option : options) {
        std::string names = "  ";
        if (!option.shortName.empty())
            names += "-" + std::string(option.shortName) + ", ";
        names += "--" + std::string(option.longName);
        if (!option.flag)
            names += " NAME";
        names.resize(std::max(column, names.size() + 2), ' ');
        text += names + std::string(option.description) + "\n";
    }
    for (const CountOption &option : countOptions) {
        std::string names = "  --" + std::string(option.longName) + " ";
        text += names + std::string(option.description) + "\n";
    }
    text += "\nArguments:\n"
            "  SOURCE          A drive root or folder to back up.\n"
            "  DESTINATION     A drive root or folder that receives the backup.\n"
            "  BACKUP          A backup folder, or an item inside one, to restore.\n"
            "  TARGET          An existing folder that receives what is restored.";
    return text;
}

} // namespace drovanta::app
