#include "shell/Form1.h"

#include "backup/engine/CopyEngine.h"

#include "platform/Services.h"
#include "platform/StdFileOperations.h"
#include "platform/StdRandomSource.h"
#include "platform/SystemClock.h"
#include "platform/qt/QtApplication.h"
#include "platform/qt/QtMessageBoxes.h"
#include "platform/qt/QtSettingsBackend.h"
#include "platform/qt/QtUrlOpener.h"
#ifdef _WIN32
#include "platform/windows/WindowsDriveSource.h"
#else
#include "platform/linux/LinuxDriveSource.h"
#endif

#include <QApplication>

using namespace drovanta;

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);

    platform::QtApplication application;
    platform::SystemClock clock;
#ifdef _WIN32
    platform::WindowsDriveSource drives;
#else
    platform::LinuxDriveSource drives;
#endif
    platform::StdFileOperations files;
    engine::NativeCopyEngine copyEngine;
    platform::QtMessageBoxes messageBoxes(application);
    platform::StdRandomSource random;
    platform::QtSettingsBackend settings;
    platform::QtUrlOpener urlOpener;

    auto &services = platform::services();
    services.application = &application;
    services.clock = &clock;
    services.drives = &drives;
    services.files = &files;
    services.copyEngine = &copyEngine;
    services.messageBoxes = &messageBoxes;
    services.random = &random;
    services.settings = &settings;
    services.urlOpener = &urlOpener;

    shell::Form1 form;
    form.Form_Load();
    form.show();
    return app.exec();
}
