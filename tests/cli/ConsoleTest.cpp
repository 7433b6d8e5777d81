// What the command line writes, apart from the running program.
#include "cli/Console.h"
#include "cli/ConsoleCopyDisplay.h"
#include "cli/ConsoleMessageBoxes.h"

#include "core/shell/ErrorBox.h"

#include "platform/MessageBoxes.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace drovanta::app {
namespace {

struct CloseFile {
    void operator()(std::FILE *file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, CloseFile>;

std::string contents(std::FILE *file)
{
    std::fflush(file);
    std::rewind(file);
    std::string text;
    for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file))
        text += static_cast<char>(c);
    return text;
}

TEST(ConsoleOnATerminal, RewritesOneProgressLineAndStartsMessagesOnALineOfTheirOwn)
{
    const File output(std::tmpfile());
    const File errors(std::tmpfile());
    Console console(output.get(), errors.get(), true);

    console.progress(ConsoleCopyDisplay::progressLine(50, "Copy folder Photos"));
    console.progress(ConsoleCopyDisplay::progressLine(100, "Copy file a.txt"));
    console.error("Cannot read the drive");
    console.output("Done.");

    EXPECT_EQ(contents(errors.get()),
              "\r[ 50%] Copy folder Photos\x1b[K\r[100%] Copy file a.txt\x1b[K\nCannot read the drive\n");
    EXPECT_EQ(contents(output.get()), "Done.\n");
}

TEST(ConsoleProgressLine, RoundsThePercentAndKeepsItInRange)
{
    EXPECT_EQ(ConsoleCopyDisplay::progressLine(100.0 / 3.0, "Copy folder A"), "[ 33%] Copy folder A");
    EXPECT_EQ(ConsoleCopyDisplay::progressLine(200.0 / 3.0, "Copy folder B"), "[ 67%] Copy folder B");
    EXPECT_EQ(ConsoleCopyDisplay::progressLine(100.0000001, "Copy file c"), "[100%] Copy file c");
}

struct Details {
    std::string name;
    std::uint64_t copied;
    std::uint64_t expected;
    double seconds;
    std::vector<std::string> forms;
};

void PrintTo(const Details &details, std::ostream *out)
{
    *out << details.name;
}

class ConsoleByteDetails : public ::testing::TestWithParam<Details> {};

TEST_P(ConsoleByteDetails, TellTheBytesTheSpeedAndTheTimeLeftThenLessAndLess)
{
    EXPECT_EQ(ConsoleCopyDisplay::byteDetails(GetParam().copied, GetParam().expected, GetParam().seconds),
              GetParam().forms);
}

INSTANTIATE_TEST_SUITE_P(
    Wording, ConsoleByteDetails,
    ::testing::Values(
        Details{"FirstSecond", 5'000'000, 80'000'000, 0.5, {"5.0 MB of 80 MB copied"}},
        Details{"Minutes", 12'400'000'000, 80'100'000'000, 160,
                {"12 GB of 80 GB copied, 78 MB/s, about 15 minutes left", "12 GB of 80 GB copied, about 15 minutes left",
                 "12 GB of 80 GB copied"}},
        Details{"OneMinute", 40'000'000, 100'000'000, 40,
                {"40 MB of 100 MB copied, 1.0 MB/s, about 1 minute left", "40 MB of 100 MB copied, about 1 minute left",
                 "40 MB of 100 MB copied"}},
        // Not "about less than a minute".
        Details{"UnderAMinute", 50'000'000, 80'000'000, 10,
                {"50 MB of 80 MB copied, 5.0 MB/s, less than a minute left",
                 "50 MB of 80 MB copied, less than a minute left", "50 MB of 80 MB copied"}},
        Details{"Hours", 1'000'000'000, 100'000'000'000, 100,
                {"1.0 GB of 100 GB copied, 10 MB/s, about 2.8 hours left", "1.0 GB of 100 GB copied, about 2.8 hours left",
                 "1.0 GB of 100 GB copied"}},
        Details{"MoreThanExpected", 90'000'000, 80'000'000, 10,
                {"90 MB of 90 MB copied, 9.0 MB/s", "90 MB of 90 MB copied"}}),
    [](const ::testing::TestParamInfo<Details> &info) { return info.param.name; });

struct Fitting {
    std::string name;
    std::string text;
    std::size_t columns;
    std::string line;
};

void PrintTo(const Fitting &fitting, std::ostream *out)
{
    *out << fitting.name << " (" << fitting.columns << " columns)";
}

class ConsoleFittedLine : public ::testing::TestWithParam<Fitting> {};

TEST_P(ConsoleFittedLine, KeepsToTheColumnsCuttingTheNameInTheMiddleBeforeTheDetailsGiveWay)
{
    const std::vector<std::string> details = {"12 GB of 80 GB copied, 78 MB/s, about 15 minutes left",
                                              "12 GB of 80 GB copied, about 15 minutes left", "12 GB of 80 GB copied"};
    EXPECT_EQ(ConsoleCopyDisplay::fittedLine(42, GetParam().text, details, GetParam().columns), GetParam().line);
}

INSTANTIATE_TEST_SUITE_P(
    Widths, ConsoleFittedLine,
    ::testing::Values(
        Fitting{"NoLimit", "Copy folder Holiday photos from the summer of 2019", 0,
                "[ 42%] Copy folder Holiday photos from the summer of 2019: 12 GB of 80 GB copied, 78 MB/s, about 15 "
                "minutes left"},
        Fitting{"WideEnoughForAll", "Copy folder Photos", 80,
                "[ 42%] Copy folder Photos: 12 GB of 80 GB copied, 78 MB/s, about 15 minutes left"},
        Fitting{"SpeedGivesWay", "Copy folder Photos", 79,
                "[ 42%] Copy folder Photos: 12 GB of 80 GB copied, about 15 minutes left"},
        Fitting{"NameCutBeforeTheTimeLeftGivesWay", "Copy folder Holiday photos from the summer of 2019", 79,
                "[ 42%] Copy folder Holida... 2019: 12 GB of 80 GB copied, about 15 minutes left"},
        Fitting{"TimeLeftGivesWay", "Copy folder Holiday photos from the summer of 2019", 59,
                "[ 42%] Copy folder Holiday...of 2019: 12 GB of 80 GB copied"},
        Fitting{"DetailsGiveWay", "Copy file Holiday photos from the summer of 2019.jpg", 39,
                "[ 42%] Copy file Holiday ph... 2019.jpg"},
        Fitting{"TooNarrowForAName", "Copy file Holiday photos.jpg", 20, "[ 42%] Copy file Hol"},
        Fitting{"WideCharactersTakeTwoColumns", "Copy file \u5199\u771f\u306e\u6574\u7406\u30d5\u30a9\u30eb"
                                                  "\u30c0\u30fc\u3068\u5bb6\u65cf.jpg", 39,
                "[ 42%] Copy file \u5199\u771f\u306e\u6574\u7406...\u5bb6\u65cf.jpg"},
        Fitting{"BytesThatAreNotUtf8ShowEscaped", "Copy file caf\xe9", 0,
                "[ 42%] Copy file caf\\xE9: 12 GB of 80 GB copied, 78 MB/s, about 15 minutes left"},
        Fitting{"ALineFeedInANameStaysOnTheLine", "Copy file two\nlines", 0,
                "[ 42%] Copy file two\\x0Alines: 12 GB of 80 GB copied, 78 MB/s, about 15 minutes left"}),
    [](const ::testing::TestParamInfo<Fitting> &info) { return info.param.name; });

TEST(ConsoleMessageBox, TheErrorBoxReadsAsLinesWithItsCaption)
{
    platform::MessageBox box;
    box.caption = "Application Error";
    box.text = shell::errorReportText("Permission denied", "in Drovanta2021/08/31.Copy.FS_CopyXToY ", 104);

    const std::string text = ConsoleMessageBoxes::consoleText(box, "drovanta");

    EXPECT_EQ(text.find('\r'), std::string::npos);
    EXPECT_TRUE(text.starts_with("Application Error: Permission denied\n"
                                 "in Drovanta2021/08/31.Copy.FS_CopyXToY at line 104\n\n"))
        << text;
}

TEST(ConsoleMessageBox, ABoxWithoutCaptionTakesTheProgramsNameAndShowsItsDetails)
{
    platform::MessageBox box;
    box.text = "Done.";
    box.details = "/a: open: Permission denied\r/b: read: Input/output error\n";

    EXPECT_EQ(ConsoleMessageBoxes::consoleText(box, "drovanta"),
              "drovanta: Done.\n/a: open: Permission denied\n/b: read: Input/output error\n");
}

} // namespace
} // namespace drovanta::app
