// The window with the real drive source, folder operations and copy engine of
// this machine.
#include "LoopVolume.h"
#include "UiFixture.h"
#include "CopyFakes.h"

#include "core/backup/BackupRun.h"
#include "core/backup/Copier.h"
#include "core/backup/RunReport.h"

#include "engine/CopyEngine.h"
#include "platform/linux/LinuxDriveSource.h"
#include "platform/qt/QtSettingsBackend.h"
#include "ui/DriveList.h"

#include <QFile>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>

#include <fstream>
#include <optional>
#include <random>

namespace fs = std::filesystem;
using drovanta::testing::LoopVolume;

namespace {

class RealVolumesTest : public drovanta::testing::UiTest {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_settingsFolder.isValid());
        auto &services = drovanta::platform::services();
        services.drives = &m_drives;
        services.settings = &m_settings;
        services.copyEngine = &m_engine;
        UiTest::SetUp();
    }

    int entryIndex(const QString &text) const { return form->Combo1->findText(text); }

    QTemporaryDir m_settingsFolder;
    drovanta::platform::LinuxDriveSource m_drives;
    drovanta::platform::QtSettingsBackend m_settings{m_settingsFolder.path()};
    drovanta::engine::NativeCopyEngine m_engine;
};

void writeRandomFile(const fs::path &path, std::size_t size, std::mt19937 &random)
{
    fs::create_directories(path.parent_path());
    std::string data(size, '\0');
    for (char &c : data)
        c = static_cast<char>(random());
    std::ofstream(path, std::ios::binary) << data;
}

std::string contentOf(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

} // namespace

TEST_F(RealVolumesTest, StartUpOnThisMachineListsTheRootAndSavesBothChoices)
{
    form->Form_Load();

    bool rootListed = false;
    for (int i = 0; i < form->Combo1->count(); ++i)
        rootListed = rootListed || form->Combo1->itemText(i).endsWith(QStringLiteral(" (/)"));
    if (!rootListed && form->Combo1->count() == 0)
        GTEST_SKIP() << "this machine has no fixed, removable or CD drive (/ is not on a block device)";
    EXPECT_TRUE(rootListed);
    QFile file(m_settingsFolder.filePath(QStringLiteral("Corvane/Drovanta.conf")));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray content = file.readAll();
    EXPECT_TRUE(content.contains("Combo1=")) << content.toStdString();
    EXPECT_TRUE(content.contains("Combo2=")) << content.toStdString();
    EXPECT_TRUE(fakes.messageBoxes.shown.empty());
}

TEST_F(RealVolumesTest, AWholeVolumeIsBackedUpThroughTheButtonsByteForByteWithTimesAndModes)
{
    LoopVolume source(32, "DrovSource", "Source Volume");
    if (!source.mounted())
        GTEST_SKIP() << source.error();
    LoopVolume destination(64, "DrovTarget", "Target Volume");
    if (!destination.mounted())
        GTEST_SKIP() << destination.error();

    std::mt19937 random(20261207);
    const fs::path from(source.path());
    const std::vector<fs::path> files{"Documents/letter.txt", "Documents/Taxes 2025/return.pdf",
                                      "Photos/2026/holiday.jpg", "notes.txt", "empty.bin"};
    for (std::size_t i = 0; i < files.size(); ++i)
        writeRandomFile(from / files[i], i == 4 ? 0 : 1000 + 37000 * i, random);
    fs::permissions(from / "notes.txt", fs::perms::owner_read | fs::perms::group_read);
    const struct timespec times[2] = {{1600000000, 123456789}, {1500000000, 987654321}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (from / "Documents/letter.txt").c_str(), times, 0), 0);

    form->Form_Load();
    const int sourceIndex = entryIndex(QStringLiteral("DrovSource (") + QString::fromStdString(source.path()) + QLatin1Char(')'));
    const int targetIndex =
        entryIndex(QStringLiteral("DrovTarget (") + QString::fromStdString(destination.path()) + QLatin1Char(')'));
    ASSERT_GE(sourceIndex, 0);
    ASSERT_GE(targetIndex, 0);
    form->Combo1->setCurrentIndex(sourceIndex);
    form->Combo2->setCurrentIndex(targetIndex);
    form->show();

    QTest::mouseClick(form->PushButton1, Qt::LeftButton);

    ASSERT_EQ(fakes.messageBoxes.texts(), (std::vector<std::string>{"Done."}));
    const fs::path backup = fs::path(destination.path()) / "Backup 08-31-2021";
    for (const auto &file : files) {
        SCOPED_TRACE(file.string());
        ASSERT_TRUE(fs::is_regular_file(backup / file));
        EXPECT_EQ(contentOf(backup / file), contentOf(from / file));
        struct stat original {}, copy {};
        ASSERT_EQ(::stat((from / file).c_str(), &original), 0);
        ASSERT_EQ(::stat((backup / file).c_str(), &copy), 0);
        EXPECT_EQ(copy.st_mode, original.st_mode);
        EXPECT_EQ(copy.st_mtim.tv_sec, original.st_mtim.tv_sec);
        EXPECT_EQ(copy.st_mtim.tv_nsec, original.st_mtim.tv_nsec);
    }
    // The volume's own bookkeeping folder is no user data.
    EXPECT_FALSE(fs::exists(backup / "lost+found"));
}

class UnmountedDriveTest : public RealVolumesTest, public ::testing::WithParamInterface<bool> {};

// A drive unmounted after it was listed leaves an empty folder on the system
// disk at its mount point; nothing may be read from or written to it.
TEST_P(UnmountedDriveTest, IsRefusedAtStartAndNothingIsWrittenAnywhere)
{
    const bool destinationGoes = GetParam();
    LoopVolume source(16, "DrovFrom", "From Volume");
    if (!source.mounted())
        GTEST_SKIP() << source.error();
    LoopVolume destination(16, "DrovTo", "To Volume");
    if (!destination.mounted())
        GTEST_SKIP() << destination.error();
    std::mt19937 random(3);
    writeRandomFile(fs::path(source.path()) / "Documents" / "letter.txt", 1000, random);

    form->Form_Load();
    const QString sourceEntry = QStringLiteral("DrovFrom (") + QString::fromStdString(source.path()) + QLatin1Char(')');
    const QString targetEntry = QStringLiteral("DrovTo (") + QString::fromStdString(destination.path()) + QLatin1Char(')');
    ASSERT_GE(entryIndex(sourceEntry), 0);
    ASSERT_GE(entryIndex(targetEntry), 0);
    form->Combo1->setCurrentIndex(entryIndex(sourceEntry));
    form->Combo2->setCurrentIndex(entryIndex(targetEntry));
    ASSERT_TRUE((destinationGoes ? destination : source).unmount());

    form->PushButton1_Click();

    const QString gone = destinationGoes ? targetEntry : sourceEntry;
    EXPECT_EQ(fakes.messageBoxes.texts(),
              (std::vector<std::string>{"The drive '" + gone.toStdString() +
                                        "' is no longer available. Press Refresh and choose again."}));
    EXPECT_TRUE(fs::is_empty(destinationGoes ? destination.path() : source.path()));
    if (!destinationGoes) {
        EXPECT_FALSE(fs::exists(fs::path(destination.path()) / "Backup 08-31-2021"));
    }
}

INSTANTIATE_TEST_SUITE_P(RealVolumes, UnmountedDriveTest, ::testing::Values(false, true),
                         [](const auto &info) { return std::string(info.param ? "Destination" : "Source"); });

namespace {

// The copier with fake services, a recording display and this system's engine.
struct RealCopier {
    RealCopier() { drovanta::platform::services().copyEngine = &engine; }

    drovanta::testing::FakeServices fakes;
    drovanta::engine::NativeCopyEngine engine;
    drovanta::testing::RecordingDisplay display;
    std::optional<drovanta::backup::BackupRun> run;

    // The copier's part of a run from `from` into `backup`.
    drovanta::backup::RunReport &copy(const fs::path &from, const fs::path &backup)
    {
        run.emplace(drovanta::backup::BackupRequest{from.string(), backup.string()}, display, engine);
        run->copy();
        return run->report();
    }
};

} // namespace

TEST(RealEngineFullDisk, ADestinationThatFillsUpStopsTheBackupAndLeavesNoDifferingFileUnderARealName)
{
    LoopVolume destination(8, "DrovTiny");
    if (!destination.mounted())
        GTEST_SKIP() << destination.error();
    QTemporaryDir sourceFolder;
    ASSERT_TRUE(sourceFolder.isValid());
    RealCopier copier;

    const fs::path from(sourceFolder.path().toStdString());
    std::mt19937 random(7);
    for (const char *folder : {"A", "B", "C", "D"})
        for (int i = 0; i < 3; ++i)
            writeRandomFile(from / folder / ("part" + std::to_string(i) + ".bin"), 1024 * 1024, random);
    writeRandomFile(from / "notes.txt", 100, random);

    const fs::path backup = fs::path(destination.path()) / "Backup 08-31-2021";
    const auto &report = copier.copy(from, backup);

    EXPECT_TRUE(report.destinationFailed());
    EXPECT_NE(report.closingText().find("the destination failed: No space left on device"), std::string::npos)
        << report.closingText();
    EXPECT_LT(copier.display.values.size(), 5u) << "the run went on after the destination failed";
    for (const auto &entry : fs::recursive_directory_iterator(backup)) {
        if (!entry.is_regular_file())
            continue;
        const fs::path relative = fs::relative(entry.path(), backup);
        SCOPED_TRACE(relative.string());
        ASSERT_TRUE(fs::exists(from / relative)) << "a file that is no copy of a source file";
        EXPECT_EQ(contentOf(entry.path()), contentOf(from / relative));
    }
}

TEST(RealEngineMountPoints, AFolderAtTheRootOnWhichAnotherFilesystemIsMountedIsKeptEmpty)
{
    LoopVolume mounted(8, "DrovInner", "Inner");
    if (!mounted.mounted())
        GTEST_SKIP() << mounted.error();
    const fs::path driveRoot = fs::path(mounted.path()).parent_path();
    std::mt19937 random(1);
    writeRandomFile(fs::path(mounted.path()) / "inside.bin", 1000, random);
    QTemporaryDir targetFolder;
    ASSERT_TRUE(targetFolder.isValid());
    RealCopier copier;

    const fs::path backup = fs::path(targetFolder.path().toStdString()) / "Backup";
    const auto &report = copier.copy(driveRoot, backup);

    EXPECT_TRUE(fs::is_directory(backup / "Inner"));
    EXPECT_TRUE(fs::is_empty(backup / "Inner"));
    EXPECT_TRUE(fs::is_regular_file(backup / "volume.img"));
    EXPECT_TRUE(report.allCopied()) << report.detailsText();
}
