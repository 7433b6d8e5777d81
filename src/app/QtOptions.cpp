#include "app/QtOptions.h"

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

} // namespace

bool onlyQtOptions(int argc, const char *const argv[])
{
    for (int i = 1; i < argc; ++i) {
        std::string_view argument = argv[i];
        if (argument.starts_with("--"))
            argument.remove_prefix(2);
        else if (argument.starts_with('-'))
            argument.remove_prefix(1);
        else
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

} // namespace drovanta::app
