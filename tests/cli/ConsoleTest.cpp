// What the command line writes, apart from the running program.
#include "app/Console.h"
#include "app/ConsoleCopyDisplay.h"
#include "app/ConsoleMessageBoxes.h"

#include "shell/ErrorBox.h"

#include "platform/MessageBoxes.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

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
