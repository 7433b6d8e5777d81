#include "core/shell/SettingsStore.h"

#include "platform/Failure.h"

#include <gtest/gtest.h>

namespace settings = drovanta::shell::SettingsStore;

namespace {

std::string failureOf(const std::string &text)
{
    try {
        settings::toInteger16(text);
    } catch (const drovanta::Failure &failure) {
        return failure.what();
    }
    return "";
}

} // namespace

TEST(SettingsConversion, IgnoresBlanksAndRoundsHalvesToTheEvenNeighbour)
{
    EXPECT_EQ(settings::toInteger16(" 3 "), 3);
    EXPECT_EQ(settings::toInteger16("2.5"), 2);
    EXPECT_EQ(settings::toInteger16("3.5"), 4);
    EXPECT_EQ(settings::toInteger16("-1"), -1);
    EXPECT_EQ(settings::toInteger16("2.6"), 3);
}

TEST(SettingsConversion, KeepsTheSixteenBitRangeAndRefusesWhatIsNoNumber)
{
    EXPECT_EQ(settings::toInteger16("32767"), 32767);
    EXPECT_EQ(settings::toInteger16("-32768"), -32768);
    EXPECT_EQ(failureOf("32768"), "Overflow");
    EXPECT_EQ(failureOf("40000"), "Overflow");
    EXPECT_EQ(failureOf("-32769"), "Overflow");
    EXPECT_EQ(failureOf("abc"), "Type mismatch");
    EXPECT_EQ(failureOf(""), "Type mismatch");
}

