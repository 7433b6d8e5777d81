#include "cli/QtOptions.h"

#include <array>
#include <string_view>

namespace drovanta::app {
namespace {

// The options QGuiApplication, QApplication and the X11 platform plugin take
// from the command line. Qt accepts each with one dash or two.
constexpr std::array<std::string_view, 17> optionsWithValue = {
    "platform", "platformpluginpath", "platformtheme", "plugin", "qwindowgeometry", "geometry",
    "qwindowtitle", "title", "qwindowicon", "icon", "session", "display", "name", "style",
    "stylesheet", "qmljsdebugger", "visual",
};
constexpr std::array<std::string_view, 5> flags = {"reverse", "widgetcount", "testability", "nograb", "dograb"};

template<std::size_t N>
bool listed(const std::array<std::string_view, N> &names, std::string_view name)
{
    for (const std::string_view candidate : names)
        if (candidate == name)
            return true;
    return false;
}

// An option's name without its one or two leading dashes; false for an
// argument that is not an option.
bool optionName(std::string_view &argument)
{
    if (argument.starts_with("--"))
        argument.remove_prefix(2);
    else if (argument.starts_with('-'))
        argument.remove_prefix(1);
    else
        return false;
    return true;
}

#if !defined(_WIN32) && !defined(__APPLE__)
bool isSet(const char *value)
{
    return value != nullptr && *value != '\0';
}

// The value of one of Qt's options given as "-name value", "--name value" or
// "-name=value"; empty when not given.
std::string_view optionValue(int argc, const char *const argv[], std::string_view name)
{
    std::string_view value;
    for (int i = 1; i < argc; ++i) {
        std::string_view argument = argv[i];
        if (!optionName(argument))
            continue;
        if (argument == name && i + 1 < argc)
            value = argv[++i];
        else if (argument.starts_with(name) && argument.size() > name.size() && argument[name.size()] == '=')
            value = argument.substr(name.size() + 1);
    }
    return value;
}
#endif

} // namespace

bool onlyQtOptions(int argc, const char *const argv[])
{
    for (int i = 1; i < argc; ++i) {
        std::string_view argument = argv[i];
        if (!optionName(argument))
            return false;
        if (listed(flags, argument))
            continue;
        const auto equals = argument.find('=');
        if (equals != std::string_view::npos) {
            if (!listed(optionsWithValue, argument.substr(0, equals)))
                return false;
            continue;
        }
        if (!listed(optionsWithValue, argument) || i + 1 >= argc)
            return false;
        ++i; // the option's value
    }
    return true;
}

bool displayAvailable([[maybe_unused]] int argc, [[maybe_unused]] const char *const argv[],
                      [[maybe_unused]] const std::function<const char *(const char *)> &variable)
{
#if defined(_WIN32) || defined(__APPLE__)
    return true;
#else
    const bool x11 = isSet(variable("DISPLAY")) || !optionValue(argc, argv, "display").empty();
    const bool wayland = isSet(variable("WAYLAND_DISPLAY"));
    std::string_view platforms = optionValue(argc, argv, "platform");
    if (platforms.empty() && isSet(variable("QT_QPA_PLATFORM")))
        platforms = variable("QT_QPA_PLATFORM");
    if (platforms.empty())
        return x11 || wayland;
    // Qt tries each of "wayland;xcb" in turn; a plugin's own settings follow
    // a colon ("offscreen:size=800x600").
    while (!platforms.empty()) {
        const auto end = platforms.find(';');
        std::string_view platform = platforms.substr(0, end);
        platforms = end == std::string_view::npos ? std::string_view() : platforms.substr(end + 1);
        platform = platform.substr(0, platform.find(':'));
        if (platform == "xcb") {
            if (x11)
                return true;
        } else if (platform.starts_with("wayland")) {
            if (wayland)
                return true;
        } else if (!platform.empty()) {
            return true; // offscreen, minimal, a frame buffer, VNC...: no display server needed
        }
    }
    return false;
#endif
}

} // namespace drovanta::app
