#include "CopyFakes.h"
#include "UiFixture.h"

#include "backup/StopCopy.h"
#include "shell/DriveList.h"
#include "shell/TextProgressBar.h"

#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QWindow>
#include <qpa/qwindowsysteminterface.h>

#include <chrono>
#include <fstream>
#include <thread>

namespace fs = std::filesystem;
using drovanta::backup::StopCopy;
using drovanta::platform::BoxIcon;
using drovanta::platform::DriveType;
using drovanta::shell::DefaultPointer;
using drovanta::shell::Hourglass;

namespace {

// Clicks `button` through the window system, as a user's click arrives: it is
// held back while the window leaves out user input.
void clickLikeAUser(QWidget *window, QWidget *button)
{
    const QPointF local = button->mapTo(window, button->rect().center());
    const QPointF global = window->mapToGlobal(local);
    QWindowSystemInterface::handleMouseEvent<QWindowSystemInterface::AsynchronousDelivery>(
        window->windowHandle(), local, global, Qt::LeftButton, Qt::LeftButton, QEvent::MouseButtonPress);
    QWindowSystemInterface::handleMouseEvent<QWindowSystemInterface::AsynchronousDelivery>(
        window->windowHandle(), local, global, Qt::NoButton, Qt::LeftButton, QEvent::MouseButtonRelease);
}

// Two folders of a temporary folder play the source and the destination drive.
class BackupCommandTest : public drovanta::testing::UiTest {
protected:
    void SetUp() override
    {
        UiTest::SetUp();
        ASSERT_TRUE(m_temp.isValid());
        const fs::path root(m_temp.path().toStdString());
        source = root / "source-drive";
        destination = root / "destination-drive";
        fs::create_directories(source / "A");
        fs::create_directories(source / "B");
        std::ofstream(source / "A" / "a.txt") << "alpha";
        std::ofstream(source / "B" / "b.txt") << "beta";
        std::ofstream(source / "notes.txt") << "notes";
        fs::create_directories(destination);
        backupFolder = destination / "Backup 08-31-2021";
        drovanta::platform::services().copyEngine = &engine;
        StopCopy = false;
    }
    void TearDown() override
    {
        StopCopy = false;
        UiTest::TearDown();
    }

    // The source drive uses `used` bytes; the destination has `free` bytes available.
    void loadDrives(std::uint64_t used, std::uint64_t free)
    {
        fakes.drives.list = {
            {source.string(), DriveType::Fixed, true, "Source", 1000, 1000 + used, 1000},
            {destination.string(), DriveType::Removable, true, "Backups", free, free * 2, free},
        };
        form->Form_Load();
        ASSERT_EQ(form->Combo1->currentIndex(), 0);
        ASSERT_EQ(form->Combo2->currentIndex(), 1);
    }

    std::vector<std::string> errorLabels() const
    {
        std::vector<std::string> labels;
        for (const auto &text : fakes.messageBoxes.texts())
            if (const auto at = text.find("at line "); at != std::string::npos)
                labels.push_back(text.substr(at + 8, 3));
        return labels;
    }

    QTemporaryDir m_temp;
    fs::path source, destination, backupFolder;
    drovanta::testing::FsCopyEngine engine;
};

} // namespace

TEST_F(BackupCommandTest, ARunCopiesTheSourceIntoTheDatedFolderAndEndsWithDone)
{
    loadDrives(50, 1000);
    std::vector<int> pointersDuringRun;
    engine.before = [&](const auto &) { pointersDuringRun.push_back(form->MousePointer()); };

    form->PushButton1->click();

    EXPECT_TRUE(fs::exists(backupFolder / "A" / "a.txt"));
    EXPECT_TRUE(fs::exists(backupFolder / "B" / "b.txt"));
    EXPECT_TRUE(fs::exists(backupFolder / "notes.txt"));
    EXPECT_EQ(pointersDuringRun, (std::vector<int>{Hourglass, Hourglass, Hourglass}));
    ASSERT_EQ(fakes.messageBoxes.shown.size(), 1u);
    EXPECT_EQ(fakes.messageBoxes.shown[0].text, "Done.");
    EXPECT_EQ(fakes.messageBoxes.shown[0].icon, BoxIcon::None);
    EXPECT_EQ(fakes.messageBoxes.shown[0].caption, "");
    EXPECT_EQ(form->MousePointer(), DefaultPointer);
    EXPECT_EQ(form->ProgressBar1->percent(), 0.0);
    EXPECT_EQ(form->ProgressBar1->text(), QStringLiteral("Progress Bar"));
}

TEST_F(BackupCommandTest, TheSameDriveOnBothSidesIsRefusedWithoutTouchingPointerOrBar)
{
    loadDrives(50, 1000);
    form->Combo2->setCurrentIndex(0);
    form->ProgressBar1->setPercent(42);

    form->PushButton1_Click();

    EXPECT_EQ(fakes.messageBoxes.texts(), (std::vector<std::string>{"Source must not be the same as destination."}));
    EXPECT_EQ(form->ProgressBar1->percent(), 42.0);
    EXPECT_EQ(form->MousePointer(), DefaultPointer);
    EXPECT_TRUE(engine.calls.empty());
    EXPECT_FALSE(fs::exists(backupFolder));
}

TEST_F(BackupCommandTest, FreeSpaceEqualToTheUsedBytesIsEnoughAndOneByteLessIsNot)
{
    loadDrives(5000, 5000);
    form->PushButton1_Click();
    EXPECT_EQ(fakes.messageBoxes.texts(), (std::vector<std::string>{"Done."}));

    fakes.messageBoxes.shown.clear();
    engine.calls.clear();
    fakes.drives.list[1].available = 4999;
    form->PushButton2_Click();
    form->PushButton1_Click();
    EXPECT_EQ(fakes.messageBoxes.texts(),
              (std::vector<std::string>{"There is no enough room on " + destination.string() +
                                        "/ to backup the entire " + source.string() +
                                        "/ drive. Please make some room on " + destination.string() +
                                        "/ or select a larger 'Destination' drive."}));
    EXPECT_TRUE(engine.calls.empty());
}

TEST_F(BackupCommandTest, NoSourceChosenReportsTheLookupAndTheRoomCheckThenBacksUpTheHeldPaths)
{
    loadDrives(50, 1000);
    form->Combo1->setListIndex(-1); // Text1 keeps the source path

    form->PushButton1_Click();

    EXPECT_EQ(errorLabels(), (std::vector<std::string>{"102", "106"}));
    EXPECT_EQ(fakes.messageBoxes.texts().back(), "Done.");
    EXPECT_TRUE(fs::exists(backupFolder / "notes.txt"));
}

TEST_F(BackupCommandTest, NoDestinationChosenReportsTheLookupAndTheRoomCheck)
{
    loadDrives(50, 1000);
    form->Combo2->setListIndex(-1);
    form->PushButton1_Click();
    EXPECT_EQ(errorLabels(), (std::vector<std::string>{"104", "106"}));
}

TEST_F(BackupCommandTest, ItemsThatCouldNotBeCopiedAreCountedAndListedInTheDetails)
{
    loadDrives(50, 1000);
    drovanta::engine::Result partial;
    partial.failures.push_back({(source / "B" / "b.txt").string(), "open", "Permission denied", 13});
    engine.canned[(source / "B").string()] = partial;

    form->PushButton1_Click();

    ASSERT_EQ(fakes.messageBoxes.shown.size(), 1u);
    const auto &box = fakes.messageBoxes.shown[0];
    EXPECT_EQ(box.text.rfind("Done.", 0), 0u);
    EXPECT_NE(box.text.find("1 file or folder could not be copied."), std::string::npos);
    EXPECT_EQ(box.icon, BoxIcon::Warning);
    EXPECT_EQ(box.details, (source / "B" / "b.txt").string() + ": open: Permission denied\n");
}

TEST_F(BackupCommandTest, StopDuringARunEndsItBetweenItemsAndStillSaysDone)
{
    loadDrives(50, 1000);
    engine.before = [&](const auto &) { form->PushButton4_Click(); };

    form->PushButton1_Click();

    EXPECT_EQ(engine.calls.size(), 1u);
    EXPECT_FALSE(fs::exists(backupFolder / "notes.txt"));
    EXPECT_EQ(fakes.messageBoxes.texts(), (std::vector<std::string>{"Done."}));
    EXPECT_EQ(form->ProgressBar1->text(), QStringLiteral("Progress Bar"));

    // A stop left over from that run does not affect the next one.
    fakes.messageBoxes.shown.clear();
    engine.before = nullptr;
    form->PushButton1_Click();
    EXPECT_TRUE(fs::exists(backupFolder / "notes.txt"));
}

TEST_F(BackupCommandTest, TheWindowKeepsPaintingWhileAFolderIsCopiedAndAClickWaitsForTheNextEventPoint)
{
    loadDrives(50, 1000);
    form->show();
    ASSERT_TRUE(form->windowHandle());

    QElapsedTimer clock;
    clock.start();
    std::vector<qint64> ticks;
    QTimer ticker;
    ticker.setInterval(20);
    QObject::connect(&ticker, &QTimer::timeout, [&] { ticks.push_back(clock.elapsed()); });

    std::atomic<qint64> operationStart{-1}, operationEnd{-1};
    std::atomic<bool> stopSeenByTheOperation{false};
    engine.before = [&](const drovanta::engine::Params &params) {
        if (fs::path(params.source).filename() != "A" && fs::path(params.source).filename() != "B")
            return;
        if (operationStart >= 0)
            return;
        operationStart = clock.elapsed();
        std::this_thread::sleep_for(std::chrono::seconds(2));
        stopSeenByTheOperation = StopCopy.load();
        operationEnd = clock.elapsed();
    };

    // A real click on "Stop Backup" arrives through the window system while
    // the first folder is being copied.
    bool clicked = false;
    QTimer::singleShot(300, [&] {
        clickLikeAUser(form.get(), form->PushButton4);
        clicked = true;
    });
    ticker.start();
    form->PushButton1_Click();
    ticker.stop();

    ASSERT_TRUE(clicked);
    ASSERT_GE(operationStart, 0);
    qint64 longestGap = 0;
    qint64 previous = operationStart;
    for (const qint64 tick : ticks) {
        if (tick < operationStart || tick > operationEnd)
            continue;
        longestGap = std::max(longestGap, tick - previous);
        previous = tick;
    }
    longestGap = std::max(longestGap, operationEnd - previous);
    EXPECT_LT(longestGap, 100) << "the window did not process events for " << longestGap << " ms";
    // The click was held back during the copy and handled at the next event point.
    EXPECT_FALSE(stopSeenByTheOperation);
    EXPECT_TRUE(StopCopy.load());
    EXPECT_EQ(engine.calls.size(), 1u);
    EXPECT_FALSE(fs::exists(backupFolder / "notes.txt"));
    EXPECT_EQ(fakes.messageBoxes.texts(), (std::vector<std::string>{"Done."}));
}

TEST_F(BackupCommandTest, StartDuringARunStartsANestedRunThatMergesIntoTheFolderAndThenTheFirstGoesOn)
{
    loadDrives(50, 1000);
    form->show();
    bool clicked = false;
    engine.before = [&](const drovanta::engine::Params &) {
        if (std::exchange(clicked, true))
            return;
        QMetaObject::invokeMethod(
            form.get(), [this] { clickLikeAUser(form.get(), form->PushButton1); }, Qt::QueuedConnection);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    };

    form->PushButton1_Click();

    // Outer first folder, then the nested run's three items, then the outer run's last two.
    EXPECT_EQ(engine.calls.size(), 6u);
    EXPECT_EQ(fakes.messageBoxes.texts(), (std::vector<std::string>{"Done.", "Done."}));
    EXPECT_TRUE(fs::exists(backupFolder / "notes.txt"));
    EXPECT_EQ(form->MousePointer(), DefaultPointer);
}

TEST_F(BackupCommandTest, ASecondRunOnTheSameDayIsQuiet)
{
    loadDrives(50, 1000);
    form->PushButton1_Click();
    form->PushButton1_Click();
    EXPECT_EQ(fakes.messageBoxes.texts(), (std::vector<std::string>{"Done.", "Done."}));
}

TEST_F(BackupCommandTest, ABackupFolderThatIsALinkIsRefusedWithABoxAndWhatItPointsToStaysUntouched)
{
    loadDrives(50, 1000);
    const fs::path elsewhere = destination.parent_path() / "elsewhere";
    fs::create_directory(elsewhere);
    fs::create_directory_symlink(elsewhere, backupFolder);

    form->PushButton1_Click();

    const auto texts = fakes.messageBoxes.texts();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0], "'" + backupFolder.string() +
                            "' is not a folder made by a backup (it is a link). Remove or rename it and start again.");
    EXPECT_EQ(texts[1].rfind("Done.", 0), 0u);
    EXPECT_NE(texts[1].find("Nothing was copied"), std::string::npos) << texts[1];
    EXPECT_TRUE(engine.calls.empty());
    EXPECT_TRUE(fs::is_empty(elsewhere));
}
