#include "app/Arguments.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

using drovanta::app::Arguments;
using drovanta::app::parseArguments;

namespace {

struct Case {
    const char *name;
    std::vector<std::string> given;
    std::string problem; // empty: accepted
};

void PrintTo(const Case &parsing, std::ostream *out)
{
    for (const std::string &argument : parsing.given)
        *out << argument << ' ';
    *out << "-> " << (parsing.problem.empty() ? "accepted" : parsing.problem);
}

class ArgumentParsing : public ::testing::TestWithParam<Case> {};

} // namespace

TEST(Arguments, OptionsMayStandAnywhereAndShortOnesMayBeRunTogether)
{
    Arguments parsed;
    ASSERT_FALSE(parseArguments({"/src", "--backup", "-q", "--", "--full", "-"}, parsed));
    EXPECT_TRUE(parsed.backup && parsed.quiet);
    EXPECT_FALSE(parsed.full) << "after -- every argument is a path";
    EXPECT_EQ(parsed.positionals, (std::vector<std::string>{"/src", "--full", "-"}));

    Arguments together;
    ASSERT_FALSE(parseArguments({"-qv"}, together));
    EXPECT_TRUE(together.quiet && together.version);
}

TEST_P(ArgumentParsing, RefusesWhatItDoesNotKnow)
{
    Arguments parsed;
    const auto problem = parseArguments(GetParam().given, parsed);
    EXPECT_EQ(problem.value_or(""), GetParam().problem);
}

INSTANTIATE_TEST_SUITE_P(Arguments, ArgumentParsing,
                         ::testing::Values(Case{"UnknownLongOption", {"--bogus"}, "Unknown option 'bogus'."},
                                           Case{"UnknownShortOption", {"-x"}, "Unknown option 'x'."},
                                           Case{"ValueAfterList", {"--list=now"}, "Unexpected value after '--list'."},
                                           Case{"QuestionMarkForHelp", {"-?"}, ""}),
                         [](const ::testing::TestParamInfo<Case> &info) { return std::string(info.param.name); });
