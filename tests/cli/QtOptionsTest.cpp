// Which starts open the window and which run the command line.
#include "cli/QtOptions.h"

#include <gtest/gtest.h>

#include <map>
#include <ostream>
#include <string>
#include <vector>

namespace drovanta::app {
namespace {

struct Start {
    const char *name;
    std::vector<std::string> arguments;
    bool opensWindow;
};

void PrintTo(const Start &start, std::ostream *out)
{
    *out << (start.opensWindow ? "window:" : "command line:");
    for (const std::string &argument : start.arguments)
        *out << ' ' << argument;
}

class QtOptions : public ::testing::TestWithParam<Start> {};

TEST_P(QtOptions, OnlyQtsStandardOptionsWithTheirValuesOpenTheWindow)
{
    std::vector<const char *> argv{"drovanta"};
    for (const std::string &argument : GetParam().arguments)
        argv.push_back(argument.c_str());
    EXPECT_EQ(onlyQtOptions(static_cast<int>(argv.size()), argv.data()), GetParam().opensWindow);
}

INSTANTIATE_TEST_SUITE_P(Starts, QtOptions, ::testing::Values(
    Start{"NoArguments", {}, true},
    Start{"StyleWithItsValue", {"-style", "Fusion"}, true},
    Start{"StyleWithTwoDashes", {"--style", "Fusion"}, true},
    Start{"StyleWithAnEqualsSign", {"-style=Fusion"}, true},
    Start{"Session", {"-session", "10d2c3a8f0000170_1"}, true},
    Start{"SeveralQtOptions",
          {"-platform", "offscreen", "-reverse", "-display", ":0", "-qwindowgeometry", "640x480"}, true},
    Start{"List", {"--list"}, false},
    Start{"HelpAll", {"--help-all"}, false},
    Start{"Version", {"-v"}, false},
    Start{"StyleAndBackup", {"-style", "Fusion", "--backup", "/a", "/b"}, false},
    Start{"TwoPaths", {"/media/a", "/media/b"}, false},
    Start{"UnknownOption", {"--frobnicate"}, false},
    Start{"StyleWithoutItsValue", {"-style"}, false}),
    [](const ::testing::TestParamInfo<Start> &info) { return std::string(info.param.name); });

struct Surroundings {
    std::string name;
    std::map<std::string, std::string> environment;
    std::vector<std::string> arguments;
    bool hasDisplay;
};

void PrintTo(const Surroundings &surroundings, std::ostream *out)
{
    *out << surroundings.name;
}

class WindowDisplay : public ::testing::TestWithParam<Surroundings> {};

TEST_P(WindowDisplay, IsThereWhenTheChosenPlatformFindsWhatItNeeds)
{
    std::vector<const char *> argv{"drovanta"};
    for (const std::string &argument : GetParam().arguments)
        argv.push_back(argument.c_str());
    const auto variable = [&](const char *name) -> const char * {
        const auto found = GetParam().environment.find(name);
        return found == GetParam().environment.end() ? nullptr : found->second.c_str();
    };
    EXPECT_EQ(displayAvailable(static_cast<int>(argv.size()), argv.data(), variable), GetParam().hasDisplay);
}

INSTANTIATE_TEST_SUITE_P(
    Starts, WindowDisplay,
    ::testing::Values(Surroundings{"NothingSet", {}, {}, false},
                      Surroundings{"EmptyDisplay", {{"DISPLAY", ""}}, {}, false},
                      Surroundings{"X11", {{"DISPLAY", ":0"}}, {}, true},
                      Surroundings{"Wayland", {{"WAYLAND_DISPLAY", "wayland-0"}}, {}, true},
                      Surroundings{"DisplayOption", {}, {"-display", ":1"}, true},
                      Surroundings{"OffscreenVariable", {{"QT_QPA_PLATFORM", "offscreen"}}, {}, true},
                      Surroundings{"OffscreenWithSettings", {{"QT_QPA_PLATFORM", "offscreen:size=800x600"}}, {}, true},
                      Surroundings{"OffscreenOption", {}, {"-style", "Fusion", "-platform", "offscreen"}, true},
                      Surroundings{"OffscreenOptionWithEquals", {}, {"--platform=offscreen"}, true},
                      Surroundings{"XcbWithoutDisplay", {{"QT_QPA_PLATFORM", "xcb"}, {"WAYLAND_DISPLAY", "w"}}, {}, false},
                      Surroundings{"WaylandThenXcbWithX", {{"QT_QPA_PLATFORM", "wayland;xcb"}, {"DISPLAY", ":0"}}, {},
                                   true},
                      Surroundings{"WaylandThenXcbWithNeither", {{"QT_QPA_PLATFORM", "wayland;xcb"}}, {}, false},
                      Surroundings{"OptionOverVariable", {{"QT_QPA_PLATFORM", "offscreen"}}, {"-platform", "xcb"},
                                   false}),
    [](const ::testing::TestParamInfo<Surroundings> &info) { return info.param.name; });

} // namespace
} // namespace drovanta::app
