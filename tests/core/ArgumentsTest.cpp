#include "app/Arguments.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using drovanta::app::Arguments;
using drovanta::app::parseArguments;

namespace {

struct Case {
    std::vector<std::string> given;
    std::string problem; // empty: accepted
};

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
                         ::testing::Values(Case{{"--bogus"}, "Unknown option 'bogus'."},
                                           Case{{"-x"}, "Unknown option 'x'."},
                                           Case{{"--list=now"}, "Unexpected value after '--list'."},
                                           Case{{"-?"}, ""}));
