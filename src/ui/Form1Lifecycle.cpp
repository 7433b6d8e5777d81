// Start-up and close of the main window.
#include "ui/Form1.h"

#include "ui/Appearance.h"
#include "core/shell/ErrorBox.h"
#include "ui/Main.h"

#include "platform/Application.h"
#include "platform/Services.h"

#include <QIcon>

namespace drovanta::shell {

void Form1::Form_Load()
{
    OnError on("in Drovanta2021/08/31.Form1.Form_Load ");
    on.run(100, [] { Main::ApplySkin(); });
    on.run(102, [this] { setWindowTitle(QString::fromLatin1(Main::productName)); });
    on.run(102, [this] { setWindowIcon(applicationIcon()); });
    on.run(102, [] { Main::SetAppTitle(); });
    const std::string pointerFile = Main::programFile("HAND-M.CUR");
    if (on.when(104, [&] { return Main::FileExists(pointerFile); }))
        on.run(106, [&] { setMouseIcon(loadCursorFile(QString::fromStdString(pointerFile))); });
    on.run(108, [] { Main::RandomHomePageVisit(); });
    on.run(128, [this] { DriveRecords1 = std::make_unique<drives::RecordList>(); });
    on.run(130, [this] { DriveRecords2 = std::make_unique<drives::RecordList>(); });
    on.run(132, [this] { ListDrives(); });
}

void Form1::Form_QueryUnload()
{
    OnError on("in Drovanta2021/08/31.Form1.Form_QueryUnload ");
    on.run(100, [this] { DriveRecords1.reset(); });
    on.run(102, [this] { DriveRecords2.reset(); });
}

void Form1::Form_Unload()
{
    platform::services().application->exitNow(0);
}

} // namespace drovanta::shell
