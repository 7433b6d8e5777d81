// The command-line program without a window (on Windows a console program):
// the core, the copy engine and the platform layer, no Qt.
#include "cli/CommandLine.h"
#include "cli/Console.h"
#include "cli/ConsoleMessageBoxes.h"

#include "app/SystemServices.h"

#include "platform/Services.h"
#include "platform/StdApplication.h"
#ifdef _WIN32
#include "platform/windows/WideText.h"

#include <shellapi.h>
#endif

#include <string>
#include <vector>

using namespace drovanta;

namespace {

// The program's name and arguments in the program's encoding, UTF-8. On
// Windows they come from the wide command line, which holds every name
// exactly; the narrow one would hold them in the console's code page.
std::vector<std::string> programArguments([[maybe_unused]] int argc, [[maybe_unused]] char *argv[])
{
#ifdef _WIN32
    std::vector<std::string> arguments;
    int count = 0;
    if (wchar_t **wide = ::CommandLineToArgvW(::GetCommandLineW(), &count)) {
        for (int i = 0; i < count; ++i)
            arguments.push_back(platform::utf8Text(wide[i]));
        ::LocalFree(wide);
    }
    return arguments;
#else
    return std::vector<std::string>(argv, argv + argc);
#endif
}

} // namespace

int main(int argc, char *argv[])
{
#ifdef _WIN32
    // The program writes UTF-8; the console shows it as such.
    ::SetConsoleOutputCP(CP_UTF8);
#endif
    const app::SystemServices system;
    platform::StdApplication application("drovanta");
    auto &services = platform::services();
    services.application = &application;
    app::ConsoleMessageBoxes boxes(app::Console::standard(), application);
    services.messageBoxes = &boxes;

    return app::runCommandLine(programArguments(argc, argv), false);
}
