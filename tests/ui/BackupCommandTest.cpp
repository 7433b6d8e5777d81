#include "CopyFakes.h"
#include "UiFixture.h"

#include "core/backup/RoomCheck.h"
#include "core/backup/StopCopy.h"
#include "core/shell/ErrorBox.h"
#include "engine/CopyEngine.h"
#include "engine/FaultInjection.h"
#include "platform/StdFolderFacts.h"
#include "platform/Desktop.h"
#include "ui/DriveList.h"
#include "ui/TextProgressBar.h"

#include <QElapsedTimer>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QWindow>
#include <qpa/qwindowsysteminterface.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <mutex>
#include <optional>
#include <ostream>
#include <set>
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
public:
    using UiTest::fakes;
    using UiTest::form;

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

TEST_F(BackupCommandTest, ACleanRunThatLeftOutOnlyTheSystemsOwnItemsClosesWithThePlainDone)
{
    loadDrives(50, 1000);
    drovanta::engine::Result bookkeeping;
    bookkeeping.skipped.push_back({(source / "lost+found").string(), drovanta::engine::SkipReason::SystemItem});
    engine.canned[(source / "A").string()] = bookkeeping;

    form->PushButton1_Click();

    ASSERT_EQ(fakes.messageBoxes.shown.size(), 1u);
    EXPECT_EQ(fakes.messageBoxes.shown[0].text, "Done.");
    EXPECT_EQ(fakes.messageBoxes.shown[0].details, "");
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
    std::ifstream log(qEnvironmentVariable("XDG_STATE_HOME").toStdString() + "/drovanta/runs.log");
    const std::string logged((std::istreambuf_iterator<char>(log)), {});
    const std::string entry = logged.substr(logged.rfind("Backup from "));
    EXPECT_NE(entry.find("\nEnded: refused: Source must not be the same as destination.\n"), std::string::npos)
        << entry;
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

TEST_F(BackupCommandTest, AnEarlierBackupLeavesRoomForWhatMustBeWrittenAndOneByteLessIsNot)
{
    drovanta::engine::NativeCopyEngine native;
    drovanta::platform::StdFolderFacts folders;
    drovanta::platform::services().copyEngine = &native;
    drovanta::platform::services().folders = &folders;
    for (int i = 0; i < 4; ++i)
        std::ofstream(source / "B" / ("big" + std::to_string(i))) << std::string(300'000, static_cast<char>('k' + i));
    fakes.clock.date = {2021, 8, 30};
    loadDrives(5'000'000, 100'000'000);
    form->PushButton1_Click();
    ASSERT_TRUE(fs::exists(destination / "Backup 08-30-2021" / "B" / "big3"));
    std::ofstream(source / "A" / "a.txt") << "alpha, changed";
    fakes.clock.date = {2021, 8, 31};
    const std::atomic<bool> noStop{false};
    const std::uint64_t toWrite = drovanta::backup::roomNeededToWrite(source.string() + "/", backupFolder.string(),
                                                                      (destination / "Backup 08-30-2021").string(),
                                                                      noStop)
                                      .value_or(0);
    ASSERT_LT(toWrite, 300'000u) << "only the changed file and the folders are written";

    // One byte short: the window offers to remove the older backup, and the
    // answer No ends the press with nothing written.
    for (const std::uint64_t free : {toWrite - 1, toWrite}) {
        fakes.messageBoxes.shown.clear();
        fakes.drives.list[1].available = free;
        form->PushButton2_Click();
        form->PushButton1_Click();
        ASSERT_EQ(fakes.messageBoxes.shown.size(), 1u);
        if (free < toWrite) {
            EXPECT_EQ(fakes.messageBoxes.shown[0].icon, BoxIcon::Question);
            EXPECT_FALSE(fs::exists(backupFolder));
        } else {
            EXPECT_EQ(fakes.messageBoxes.shown[0].text, "Done.");
        }
    }
    EXPECT_EQ(fs::hard_link_count(backupFolder / "B" / "big0"), 2u) << "shared with the earlier backup";
    std::ifstream changed(backupFolder / "A" / "a.txt");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(changed), {}), "alpha, changed");
}

TEST_F(BackupCommandTest, TheWindowAnswersWhileTheRoomCheckMeasuresWhatMustBeWritten)
{
    // Measuring walks the source and the earlier backup: here it takes a while.
    engine.measuring = [](const drovanta::engine::Params &) -> std::optional<std::uint64_t> {
        std::this_thread::sleep_for(std::chrono::milliseconds(800));
        return 1000;
    };
    fs::create_directories(destination / "Backup 08-30-2021");
    loadDrives(5'000'000, 100'000);
    QElapsedTimer sinceTick;
    qint64 longestGap = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        longestGap = std::max(longestGap, sinceTick.restart());
    });
    ticker.start(10);
    sinceTick.start();
    std::vector<int> pointersWhileMeasuring;
    QTimer::singleShot(400, [&] { pointersWhileMeasuring.push_back(form->MousePointer()); });

    form->PushButton1_Click();

    EXPECT_LT(longestGap, 100) << "the window froze while the room check measured";
    EXPECT_EQ(pointersWhileMeasuring, std::vector<int>{Hourglass});
    EXPECT_EQ(fakes.messageBoxes.texts(), std::vector<std::string>{"Done."});
}

struct RoomAnswer {
    const char *name;
    bool yes;
};

void PrintTo(const RoomAnswer &answer, std::ostream *out)
{
    *out << answer.name;
}

class MakeRoomTest : public BackupCommandTest, public ::testing::WithParamInterface<RoomAnswer> {};

TEST_P(MakeRoomTest, TooLittleRoomAsksToRemoveExactlyTheOldestBackupsNeeded)
{
    for (const char *day : {"08-27-2021", "08-28-2021", "08-29-2021"}) {
        fs::create_directories(destination / ("Backup " + std::string(day)));
        std::ofstream(destination / ("Backup " + std::string(day)) / "old.bin") << std::string(100'000, 'o');
    }
    engine.measuring = [](const drovanta::engine::Params &) -> std::optional<std::uint64_t> { return 150'000; };
    loadDrives(5'000'000, 100'000);
    fakes.messageBoxes.answer = GetParam().yes;
    // What the removal frees shows in the drive's free space.
    fakes.messageBoxes.onShow = [&](const drovanta::platform::MessageBox &box) {
        if (box.icon == BoxIcon::Question && GetParam().yes)
            fakes.drives.list[1].available = 1'000'000;
    };

    form->PushButton1_Click();

    ASSERT_FALSE(fakes.messageBoxes.shown.empty());
    const std::string &question = fakes.messageBoxes.shown[0].text;
    EXPECT_TRUE(question.starts_with("There is not enough room on 'Backups' for today's backup (150 kB must be written, "
                                     "100 kB is free). Removing the oldest backup (Backup 08-27-2021) frees "))
        << question;
    EXPECT_TRUE(question.ends_with(". Remove it and start the backup?")) << question;
    EXPECT_NE(fs::exists(destination / "Backup 08-27-2021"), GetParam().yes);
    EXPECT_TRUE(fs::exists(destination / "Backup 08-28-2021" / "old.bin"));
    EXPECT_TRUE(fs::exists(destination / "Backup 08-29-2021" / "old.bin"));
    EXPECT_EQ(fs::exists(backupFolder / "notes.txt"), GetParam().yes);
    if (GetParam().yes) {
        ASSERT_EQ(fakes.messageBoxes.shown.size(), 2u);
        EXPECT_EQ(fakes.messageBoxes.shown[1].details.rfind("Removed Backup 08-27-2021 to make room (", 0), 0u)
            << fakes.messageBoxes.shown[1].details;
    } else {
        EXPECT_EQ(fakes.messageBoxes.shown.size(), 1u) << "No ends the press without a further box";
    }
}

INSTANTIATE_TEST_SUITE_P(BackupCommand, MakeRoomTest,
                         ::testing::Values(RoomAnswer{"Yes", true}, RoomAnswer{"No", false}),
                         [](const auto &info) { return std::string(info.param.name); });

struct FailedCheck {
    const char *name;
    void (*cause)(BackupCommandTest &);
    const char *label;
};

void PrintTo(const FailedCheck &check, std::ostream *out)
{
    *out << check.name << ", box at label " << check.label;
}

class FailedCheckTest : public BackupCommandTest, public ::testing::WithParamInterface<FailedCheck> {};

TEST_P(FailedCheckTest, ShowsItsBoxAndCopiesNothing)
{
    loadDrives(50, 1000);
    GetParam().cause(*this);

    form->PushButton1_Click();

    EXPECT_EQ(errorLabels(), (std::vector<std::string>{GetParam().label}));
    EXPECT_EQ(fakes.messageBoxes.shown.size(), 1u) << "no \"Done.\" after a failed check";
    EXPECT_TRUE(engine.calls.empty());
    EXPECT_FALSE(fs::exists(backupFolder));
}

INSTANTIATE_TEST_SUITE_P(
    BackupCommand, FailedCheckTest,
    ::testing::Values(
        FailedCheck{"NoSourceChosen", [](BackupCommandTest &t) { t.form->Combo1->setListIndex(-1); }, "102"},
        // The remembered destination is not listed after a refresh: no destination is chosen.
        FailedCheck{"RememberedDestinationGone",
                    [](BackupCommandTest &t) {
                        t.fakes.drives.list.pop_back();
                        t.fakes.drives.list.push_back({"/media/other", DriveType::Fixed, true, "Other", 1u << 30});
                        t.form->PushButton3_Click();
                        ASSERT_EQ(t.form->Combo2->currentIndex(), -1);
                    },
                    "104"},
        FailedCheck{"RoomNotMeasurable", [](BackupCommandTest &t) { t.fakes.drives.fail = true; }, "106"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(BackupCommandTest, ARunAfterMidnightWritesTodaysFolder)
{
    loadDrives(50, 1000);
    fakes.clock.date = {2021, 9, 1};

    form->PushButton1_Click();

    EXPECT_TRUE(fs::exists(destination / "Backup 09-01-2021" / "notes.txt"));
    EXPECT_FALSE(fs::exists(backupFolder));
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
    const std::string failure = (source / "B" / "b.txt").string() + ": open: Permission denied\n";
    const std::string log = qEnvironmentVariable("XDG_STATE_HOME").toStdString() + "/drovanta/runs.log";
    EXPECT_EQ(box.details, failure + "This run is recorded in " + log + "\n");

    // The run log holds the run, its failure and how it ended.
    std::ifstream file(log);
    const std::string logged((std::istreambuf_iterator<char>(file)), {});
    const std::string entry = logged.substr(logged.rfind("Backup from "));
    EXPECT_NE(entry.find("\nSource: " + source.string() + "/\n"), std::string::npos) << entry;
    EXPECT_NE(entry.find("\nBackup folder: " + backupFolder.string() + "\n"), std::string::npos) << entry;
    EXPECT_NE(entry.find("\nEnded: finished; some items could not be copied\n"), std::string::npos) << entry;
    EXPECT_NE(entry.find("\nSummary: "), std::string::npos) << entry;
    EXPECT_TRUE(entry.ends_with(failure + "\n")) << entry;
}

// Sleep is held off for exactly the length of a run, and its end announced
// to a user who is looking at another window.
class FakeDesktop final : public drovanta::platform::Desktop {
public:
    class Block final : public drovanta::platform::SleepBlock {
    public:
        Block(int &held, std::string limitation) : m_held(held), m_limitation(std::move(limitation)) { ++m_held; }
        ~Block() override { --m_held; }
        std::string limitation() const override { return m_limitation; }

    private:
        int &m_held;
        std::string m_limitation;
    };
    std::unique_ptr<drovanta::platform::SleepBlock> preventSleep(const std::string &) override
    {
        return std::make_unique<Block>(held, limitation);
    }
    void announce(const drovanta::platform::Announcement &announcement) override
    {
        announced.push_back(announcement.title + "|" + announcement.text + "|" + announcement.folder);
    }

    int held = 0;
    std::string limitation;
    std::vector<std::string> announced;
};

TEST_F(BackupCommandTest, ASleepBlockThatHoldsOffOnlyIdleSuspendIsNotedOnceInTheRunsLogEntry)
{
    FakeDesktop desktop;
    desktop.limitation = "only idle suspend was held off.";
    drovanta::platform::services().desktop = &desktop;
    loadDrives(50, 1000);

    form->PushButton1_Click();
    drovanta::platform::services().desktop = nullptr;

    std::ifstream log(qEnvironmentVariable("XDG_STATE_HOME").toStdString() + "/drovanta/runs.log");
    const std::string logged((std::istreambuf_iterator<char>(log)), {});
    const std::string entry = logged.substr(logged.rfind("Backup from "));
    const auto first = entry.find("\nonly idle suspend was held off.\n");
    EXPECT_NE(first, std::string::npos) << entry;
    EXPECT_EQ(entry.find("only idle suspend", first + 2), std::string::npos) << entry;
}

TEST_F(BackupCommandTest, SleepIsHeldOffDuringARunAndItsEndIsAnnouncedToAUserLookingElsewhere)
{
    FakeDesktop desktop;
    drovanta::platform::services().desktop = &desktop;
    loadDrives(50, 1000);
    std::vector<int> heldDuringCopies;
    engine.before = [&](const auto &) { heldDuringCopies.push_back(desktop.held); };

    form->PushButton1_Click();
    drovanta::platform::services().desktop = nullptr;

    EXPECT_EQ(heldDuringCopies, (std::vector<int>{1, 1, 1}));
    EXPECT_EQ(desktop.held, 0);
    // The fake engine counts one file, that of the drive's root, and no bytes.
    EXPECT_EQ(desktop.announced, (std::vector<std::string>{"Backup finished|1 file (0 bytes) copied to " +
                                                           backupFolder.string() + ".|" + backupFolder.string()}));
}

TEST_F(BackupCommandTest, StopDuringARunEndsItBetweenItemsAndStillSaysDone)
{
    loadDrives(50, 1000);
    engine.before = [&](const auto &) { form->PushButton4_Click(); };

    form->PushButton1_Click();

    EXPECT_EQ(engine.calls.size(), 1u);
    EXPECT_FALSE(fs::exists(backupFolder / "notes.txt"));
    const auto texts = fakes.messageBoxes.texts();
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_TRUE(texts[0].starts_with("Done.\n\nStopped before everything was copied: 2 of 3")) << texts[0];
    EXPECT_EQ(form->ProgressBar1->text(), QStringLiteral("Progress Bar"));

    // A stop left over from that run does not affect the next one.
    fakes.messageBoxes.shown.clear();
    engine.before = nullptr;
    form->PushButton1_Click();
    EXPECT_TRUE(fs::exists(backupFolder / "notes.txt"));
}

TEST_F(BackupCommandTest, TheWindowKeepsPaintingWhileAFolderIsCopiedAndAStopClickReachesTheCopyAtOnce)
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
    // The click reached the run while the folder was being copied.
    EXPECT_TRUE(stopSeenByTheOperation);
    EXPECT_EQ(engine.calls.size(), 1u);
    EXPECT_FALSE(fs::exists(backupFolder / "notes.txt"));
    EXPECT_EQ(fakes.messageBoxes.texts(),
              (std::vector<std::string>{"Done.\n\nStopped before everything was copied: 2 of 3 top-level items "
                                        "were not copied."}));
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

TEST_F(BackupCommandTest, ADestinationThatCannotBeWrittenShowsTheFailedFolderCreationsBoxAndStartsNothing)
{
    // The system's answer stands in for a read-only drive, which root could
    // write to anyway.
    class ReadOnly final : public drovanta::platform::FileOperations {
    public:
        std::unique_ptr<drovanta::platform::Folder> getFolder(const std::string &path) const override
        {
            return real.getFolder(path);
        }
        void createFolder(const std::string &path) const override { real.createFolder(path); }
        std::unique_ptr<drovanta::platform::FolderLock> lockFolder(const std::string &path) const override
        {
            return real.lockFolder(path);
        }
        std::optional<std::string> writeProblem(const std::string &path) const override
        {
            return "Cannot create folder '" + path + "': Read-only file system";
        }
        drovanta::platform::StdFileOperations real;
    } readOnly;
    drovanta::platform::services().files = &readOnly;
    loadDrives(50, 1000);

    form->PushButton1_Click();

    ASSERT_EQ(fakes.messageBoxes.shown.size(), 1u) << "no \"Done.\" after a refused press";
    const auto &box = fakes.messageBoxes.shown[0];
    EXPECT_EQ(box.caption, "Application Error");
    EXPECT_EQ(box.text, drovanta::shell::errorReportText("Cannot create folder '" + backupFolder.string() +
                                                             "': Read-only file system",
                                                         "in Drovanta2021/08/31.Copy.FS_CopyXToY ", 106));
    EXPECT_TRUE(engine.calls.empty());
    EXPECT_FALSE(fs::exists(backupFolder));
}

// The real engine on a large top-level folder "A" whose files are slow to
// read (about two and a half seconds in all), beside the small "B" and
// "notes.txt".
class LargeFolderRunTest : public BackupCommandTest {
protected:
    void SetUp() override
    {
        BackupCommandTest::SetUp();
        std::uint64_t bytes = 5 + 4 + 5;
        for (int i = 0; i < 400; ++i) {
            std::ofstream(source / "A" / ("part" + std::to_string(i))) << std::string(4096 + i, 'x');
            bytes += 4096 + i;
        }
        drovanta::platform::services().copyEngine = &m_real;
        // One file every 6 ms however many the engine has in flight: at
        // least 2.4 s for the 400 files.
        m_slow.readError = [this](const std::string &) {
            std::chrono::steady_clock::time_point slot;
            {
                const std::lock_guard lock(m_paceMutex);
                m_nextSlot = std::max(m_nextSlot, std::chrono::steady_clock::now()) + std::chrono::milliseconds(6);
                slot = m_nextSlot;
            }
            std::this_thread::sleep_until(slot);
            return 0;
        };
        m_planted.emplace(m_slow);
        loadDrives(bytes, 100'000'000);
        form->show();
    }

    drovanta::engine::NativeCopyEngine m_real;
    std::mutex m_paceMutex;
    std::chrono::steady_clock::time_point m_nextSlot;
    drovanta::engine::faults::Faults m_slow;
    std::optional<drovanta::engine::faults::ScopedFaults> m_planted;
};

TEST_F(LargeFolderRunTest, AStopClickInTheMiddleEndsTheRunWithinASecondAndLeavesNoPartialFile)
{
    QElapsedTimer clock;
    qint64 clickedAt = -1;
    QTimer::singleShot(800, [&] {
        clickLikeAUser(form.get(), form->PushButton4);
        clickedAt = clock.elapsed();
    });
    clock.start();
    form->PushButton1_Click();
    const qint64 endedAt = clock.elapsed();

    ASSERT_GE(clickedAt, 0);
    EXPECT_LT(endedAt - clickedAt, 1000) << "the run went on for " << endedAt - clickedAt << " ms after the click";
    std::size_t copied = 0;
    for (const auto &entry : fs::directory_iterator(backupFolder / "A")) {
        const std::string name = entry.path().filename().string();
        if (name == "a.txt") { // copied in whichever order the workers take the folder's files
            EXPECT_EQ(fs::file_size(entry.path()), 5u);
            continue;
        }
        ASSERT_TRUE(name.starts_with("part")) << name;
        EXPECT_EQ(fs::file_size(entry.path()), 4096 + std::stoul(name.substr(4))) << name;
        ++copied;
    }
    EXPECT_LT(copied, 400u);
    const auto texts = fakes.messageBoxes.texts();
    ASSERT_EQ(texts.size(), 1u);
    // B may come before or after A in the listing.
    EXPECT_TRUE(texts[0].starts_with("Done.\n\nStopped before everything was copied: ")) << texts[0];
    EXPECT_TRUE(texts[0].ends_with(" of 3 top-level items were not copied, 'A' only in part.")) << texts[0];
}

TEST_F(LargeFolderRunTest, TheBarMovesWithTheBytesAndItsDescriptionTellsTheTimeLeft)
{
    std::vector<int> values;
    QObject::connect(form->ProgressBar1, &QProgressBar::valueChanged, [&](int value) { values.push_back(value); });
    QString description;
    QTimer sampler;
    sampler.setInterval(500);
    QObject::connect(&sampler, &QTimer::timeout, [&] {
        if (description.isEmpty() && form->ProgressBar1->accessibleDescription().contains(QStringLiteral(" left")))
            description = form->ProgressBar1->accessibleDescription();
    });
    sampler.start();
    form->PushButton1_Click();

    ASSERT_FALSE(values.empty());
    ASSERT_EQ(values.back(), 0); // put back after the run
    values.pop_back();
    EXPECT_TRUE(std::is_sorted(values.begin(), values.end())) << "the bar went back";
    EXPECT_GE(std::set<int>(values.begin(), values.end()).size(), 10u);
    for (const int itemStart : {33, 67, 100})
        EXPECT_NE(std::find(values.begin(), values.end(), itemStart), values.end()) << itemStart;
    EXPECT_TRUE(description.startsWith(QStringLiteral("Copy folder A. "))) << description.toStdString();
    EXPECT_TRUE(description.contains(QStringLiteral(" of 1.7 MB copied, "))) << description.toStdString();
    EXPECT_EQ(form->ProgressBar1->toolTip(), QString());
}
