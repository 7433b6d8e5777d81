#include "cli/Arguments.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

using drovanta::app::Arguments;
using drovanta::app::combinationProblem;
using drovanta::app::parseArguments;

namespace {

struct Case {
    std::string name;
    std::vector<std::string> given;
    std::string problem; // empty: accepted
};

void PrintTo(const Case &given, std::ostream *out)
{
    *out << given.name;
}

std::string caseName(const ::testing::TestParamInfo<Case> &info)
{
    return info.param.name;
}

class ArgumentParsing : public ::testing::TestWithParam<Case> {};
class ArgumentCombination : public ::testing::TestWithParam<Case> {};

} // namespace

TEST(Arguments, OptionsMayStandAnywhereAndShortOnesMayBeRunTogether)
{
    Arguments parsed;
    ASSERT_FALSE(parseArguments({"/src", "--backup", "-q", "--", "--full", "-"}, parsed));
    EXPECT_TRUE(parsed.backup && parsed.quiet);
    EXPECT_FALSE(parsed.full) << "after -- every argument is a path";
    EXPECT_EQ(parsed.positionals, (std::vector<std::string>{"/src", "--full", "-"}));

    Arguments together;
    ASSERT_FALSE(parseArguments({"-qh"}, together));
    EXPECT_TRUE(together.quiet && together.help);
}

TEST_P(ArgumentParsing, RefusesWhatItDoesNotKnow)
{
    Arguments parsed;
    const auto problem = parseArguments(GetParam().given, parsed);
    EXPECT_EQ(problem.value_or(""), GetParam().problem);
}

INSTANTIATE_TEST_SUITE_P(Arguments, ArgumentParsing,
                         ::testing::Values(Case{"UnknownLongOption", {"--bogus"}, "Unknown option '--bogus'."},
                                           Case{"UnknownShortOption", {"-x"}, "Unknown option '-x'."},
                                           // To many programs -v means "verbose": it must not end a backup
                                           // with a version line.
                                           Case{"ShortV", {"-v", "--backup", "/a", "/b"}, "Unknown option '-v'."},
                                           Case{"ValueAfterAFlag", {"--list=now"}, "Unexpected value after '--list'."},
                                           Case{"QuestionMarkAsking", {"-?"}, ""}),
                         caseName);

TEST_P(ArgumentCombination, TakesOneActionWithTheArgumentsItNeeds)
{
    Arguments parsed;
    ASSERT_FALSE(parseArguments(GetParam().given, parsed));
    EXPECT_EQ(combinationProblem(parsed).value_or(""), GetParam().problem);
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, ArgumentCombination,
    ::testing::Values(
        Case{"Backup", {"--backup", "-q", "--full", "/a", "/b"}, ""},
        Case{"List", {"--list"}, ""},
        Case{"HelpAndHelpAll", {"--help", "--help-all"}, ""},
        Case{"VersionWithABackup", {"--version", "--backup", "/a", "/b"}, "--version cannot be combined with --backup."},
        Case{"HelpWithAList", {"--list", "-h"}, "--help cannot be combined with --list."},
        Case{"ListWithABackup", {"--list", "--backup", "/a", "/b"}, "--list cannot be combined with --backup."},
        Case{"VersionWithAPath", {"--version", "/a"}, "--version takes no arguments."},
        Case{"ListWithAPath", {"--list", "/a"}, "--list takes no arguments."},
        Case{"BackupWithOnePath", {"--backup", "/a"}, "--backup needs a SOURCE and a DESTINATION."},
        Case{"BackupWithThreePaths", {"--backup", "/a", "/b", "/c"}, "--backup needs a SOURCE and a DESTINATION."},
        Case{"PathsWithoutBackup", {"/a", "/b"}, "Nothing to do: give --backup SOURCE DESTINATION or --list."},
        Case{"QuietAlone", {"--quiet"}, "Nothing to do: give --backup SOURCE DESTINATION or --list."}),
    caseName);
