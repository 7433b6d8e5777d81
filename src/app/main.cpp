#include "cli/CommandLine.h"
#include "cli/Console.h"
#include "cli/ConsoleMessageBoxes.h"
#include "cli/QtOptions.h"

#include "ui/Form1.h"

#include "app/SystemServices.h"

#include "platform/Services.h"
#include "platform/StdApplication.h"
#include "platform/qt/QtApplication.h"
#include "platform/qt/QtDesktop.h"
#include "platform/qt/QtMessageBoxes.h"
#include "platform/qt/QtSettingsBackend.h"
#include "platform/qt/QtUrlOpener.h"

#include <QApplication>

#include <cstdlib>
#include <string>
#include <vector>

using namespace drovanta;

int main(int argc, char *argv[])
{
    const app::SystemServices system;
    platform::QtDesktop desktop;
    auto &services = platform::services();
    services.desktop = &desktop;

    // Drovanta's own options (or any argument that is not one of Qt's) mean a
    // scripted run: decided before QApplication exists, so that cron and ssh
    // sessions need no display. Qt's standard options open the window.
    if (!app::onlyQtOptions(argc, argv)) {
        // Qt's application service asks QCoreApplication, which warns on
        // every call when there is none, ahead of the message it belongs to.
        platform::StdApplication application("drovanta");
        services.application = &application;
        app::ConsoleMessageBoxes boxes(app::Console::standard(), application);
        services.messageBoxes = &boxes;
        return app::runCommandLine(std::vector<std::string>(argv, argv + argc), true);
    }
    if (!app::displayAvailable(argc, argv, [](const char *name) { return std::getenv(name); }))
        return app::windowWithoutDisplay();

    platform::QtApplication application;
    platform::QtMessageBoxes messageBoxes(application);
    platform::QtSettingsBackend settings;
    platform::QtUrlOpener urlOpener;
    services.application = &application;
    services.messageBoxes = &messageBoxes;
    services.settings = &settings;
    services.urlOpener = &urlOpener;

    QApplication app(argc, argv);
    // Lets the desktop match the window with its entry and icon (Wayland's app id).
    QGuiApplication::setDesktopFileName(QStringLiteral("io.github.corvane.Drovanta"));
    shell::Form1 form;
    form.Form_Load();
    form.show();
    return app.exec();
}
