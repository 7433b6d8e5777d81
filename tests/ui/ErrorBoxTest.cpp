#include "UiFixture.h"

#include "core/shell/ErrorBox.h"

#include "platform/Failure.h"

using drovanta::Failure;
using drovanta::shell::errorReportText;
using drovanta::shell::OnError;

namespace {

const char *location = "in Drovanta2021/08/31.Form1.Form_Load ";

class ErrorBoxTest : public ::testing::Test {
protected:
    drovanta::testing::FakeServices fakes;
};

} // namespace

TEST(ErrorReportText, IsDescriptionCrLfLocationLineTwoBareCrsAndTheRequest)
{
    EXPECT_EQ(errorReportText("File not found", location, 106),
              "File not found\r\nin Drovanta2021/08/31.Form1.Form_Load at line 106\r\r"
              "Please email screenshot of this message to support@corvane.example");
}

TEST(ErrorReportText, HasExactlyOneCrLfAndNoOtherLineFeed)
{
    const std::string text = errorReportText("Overflow", location, 140);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\r'), 3);
}

TEST_F(ErrorBoxTest, TwoFailingStatementsGiveTwoBoxesWithTheirOwnLabelsAndTheRestRuns)
{
    std::vector<int> ran;
    OnError on(location);
    on.run(100, [&] { ran.push_back(100); });
    on.run(102, [&] { throw Failure("Invalid picture"); });
    on.run(104, [&] { ran.push_back(104); });
    on.run(106, [&] { throw std::runtime_error("Overflow"); });
    on.run(108, [&] { ran.push_back(108); });

    EXPECT_EQ(ran, (std::vector<int>{100, 104, 108}));
    ASSERT_EQ(fakes.messageBoxes.shown.size(), 2u);
    EXPECT_EQ(fakes.messageBoxes.shown[0].text, errorReportText("Invalid picture", location, 102));
    EXPECT_EQ(fakes.messageBoxes.shown[1].text, errorReportText("Overflow", location, 106));
    for (const auto &box : fakes.messageBoxes.shown) {
        EXPECT_EQ(box.caption, "Application Error");
        EXPECT_EQ(box.icon, drovanta::platform::BoxIcon::Warning);
    }
}

TEST_F(ErrorBoxTest, AFailingBranchConditionRunsTheBranchsFirstStatement)
{
    bool enteredBranch = false;
    OnError on(location);
    if (on.when(104, []() -> bool { throw Failure("Bad file name or number"); }))
        enteredBranch = true;

    EXPECT_TRUE(enteredBranch);
    ASSERT_EQ(fakes.messageBoxes.shown.size(), 1u);
    EXPECT_NE(fakes.messageBoxes.shown[0].text.find("at line 104"), std::string::npos);
}

TEST_F(ErrorBoxTest, AFailureInTheLastStatementOfALoopBodyGoesOnWithTheNextPass)
{
    int passes = 0;
    OnError on(location);
    for (int i = 0; i < 3; ++i) {
        on.run(120, [&] { ++passes; });
        on.run(122, [] { throw Failure("Division by zero"); });
    }
    EXPECT_EQ(passes, 3);
    EXPECT_EQ(fakes.messageBoxes.shown.size(), 3u);
}

TEST_F(ErrorBoxTest, AnExceptionWithoutDescriptionStillGivesOneBoxWithoutANumericCode)
{
    OnError on(location);
    on.run(100, [] { throw 42; });
    ASSERT_EQ(fakes.messageBoxes.shown.size(), 1u);
    EXPECT_EQ(fakes.messageBoxes.shown[0].text.find("42"), std::string::npos);
}
