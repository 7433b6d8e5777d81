#include "UiFixture.h"

#include "core/drives/DriveRecord.h"
#include "ui/DriveList.h"

#include <QLineEdit>

#include <map>

using drovanta::platform::DriveType;
using drovanta::testing::FakeDriveData;
using drovanta::testing::UiTest;

namespace {

constexpr std::uint64_t GiB = 1024ull * 1024 * 1024;

class DriveListsTest : public UiTest {
protected:
    void threeDrives()
    {
        fakes.drives.list = {
            {"/", DriveType::Fixed, true, "", 10 * GiB, 100 * GiB, 11 * GiB},
            {"/media/alex/Archive", DriveType::Removable, true, "Archive", 20 * GiB, 64 * GiB, 20 * GiB},
            {"/media/alex/Stick", DriveType::Removable, true, "", 3 * GiB, 8 * GiB, 3 * GiB},
        };
    }

    QStringList entries(const drovanta::shell::DriveList *list) const
    {
        QStringList out;
        for (int i = 0; i < list->count(); ++i)
            out << list->itemText(i);
        return out;
    }

    QStringList records(const drovanta::drives::RecordList &list) const
    {
        QStringList out;
        for (int i = 1; i <= list.count(); ++i)
            out << QString::fromStdString(list.item(i));
        return out;
    }

    // Settings as versions that remembered only positions left them.
    void positionsOnly(const std::map<std::string, std::string> &positions)
    {
        fakes.settings.values.clear();
        for (const auto &[key, value] : positions)
            fakes.settings.set(key, value);
    }

    std::vector<std::string> boxesAt() const
    {
        std::vector<std::string> labels;
        for (const auto &text : fakes.messageBoxes.texts()) {
            const auto at = text.find("at line ");
            labels.push_back(text.substr(at + 8, 3));
        }
        return labels;
    }
};

} // namespace

TEST_F(DriveListsTest, ListsReadyFixedRemovableAndCdDrivesWithTheirEntriesAndRecords)
{
    fakes.drives.list = {
        {"/", DriveType::Fixed, true, "", 1000},
        {"/media/alex/Archive", DriveType::Fixed, true, "Archive (old)", 2000},
        {"/media/cdrom", DriveType::CdRom, true, "Holiday", 0},
        {"/media/cdrom1", DriveType::CdRom, true, "", 0},
        {"/media/usb", DriveType::Removable, true, "", 5},
        {"/mnt/offline", DriveType::Fixed, false, "Offline", 7},
        {"/mnt/share", DriveType::Network, true, "Share", 8},
        {"/tmp", DriveType::RamDisk, true, "", 9},
        {"/proc", DriveType::Unknown, true, "", 0},
    };
    form->Form_Load();

    const QStringList expectedEntries{
        QStringLiteral("Local Disk (/)"), QStringLiteral("Archive (old) (/media/alex/Archive)"),
        QStringLiteral("Holiday (/media/cdrom)"), QStringLiteral(" (/media/cdrom1)"),
        QStringLiteral("Local Disk (/media/usb)")};
    EXPECT_EQ(entries(form->Combo1), expectedEntries);
    EXPECT_EQ(entries(form->Combo2), expectedEntries);
    const QStringList expectedRecords{
        QStringLiteral("/|MySep!!|Local Disk|MySep!!|1000"),
        QStringLiteral("/media/alex/Archive|MySep!!|Archive (old)|MySep!!|2000"),
        QStringLiteral("/media/cdrom|MySep!!|Holiday|MySep!!|0"),
        QStringLiteral("/media/cdrom1|MySep!!||MySep!!|0"),
        QStringLiteral("/media/usb|MySep!!|Local Disk|MySep!!|5")};
    EXPECT_EQ(records(*form->DriveRecords1), expectedRecords);
    EXPECT_EQ(records(*form->DriveRecords2), expectedRecords);
    EXPECT_TRUE(fakes.messageBoxes.shown.empty());
}

TEST_F(DriveListsTest, WithoutSavedChoicesTheSourceTakesTheFirstDriveAndTheDestinationTheSecond)
{
    threeDrives();
    form->Form_Load();

    EXPECT_EQ(form->Combo1->currentIndex(), 0);
    EXPECT_EQ(form->Combo2->currentIndex(), 1);
    EXPECT_EQ(form->Text1->text(), QStringLiteral("/"));
    EXPECT_EQ(form->Text2->text(), QStringLiteral("/media/alex/Archive/Backup 08-31-2021"));
    EXPECT_EQ(fakes.settings.get("Combo1"), "0");
    EXPECT_EQ(fakes.settings.get("Combo2"), "1");
}

TEST_F(DriveListsTest, WithOneDriveBothListsSelectItAndTheAdjustedChoiceIsSaved)
{
    fakes.drives.list = {{"/", DriveType::Fixed, true, "", 1}};
    form->Form_Load();

    EXPECT_EQ(form->Combo1->currentIndex(), 0);
    EXPECT_EQ(form->Combo2->currentIndex(), 0);
    EXPECT_EQ(fakes.settings.get("Combo2"), "0");
}

TEST_F(DriveListsTest, ASavedDestinationOnePastTheEndSelectsTheLastDriveAndFurtherGivesTheBoxAt150)
{
    threeDrives();
    fakes.settings.set("Combo2", "3");
    form->Form_Load();
    EXPECT_EQ(form->Combo2->currentIndex(), 2);
    EXPECT_TRUE(fakes.messageBoxes.shown.empty());

    positionsOnly({{"Combo2", "5"}});
    form->PushButton3_Click();
    EXPECT_EQ(boxesAt(), (std::vector<std::string>{"150"}));
    EXPECT_NE(fakes.messageBoxes.texts()[0].find("Invalid property value\r\nin Drovanta2021/08/31.Form1.ListDrives "),
              std::string::npos);
    EXPECT_EQ(form->Combo2->currentIndex(), -1);
}

TEST_F(DriveListsTest, ASavedSourceBeyondTheListGivesTheBoxAt140AndTheDestinationIsStillRestored)
{
    threeDrives();
    fakes.settings.set("Combo1", "3");
    fakes.settings.set("Combo2", "2");
    form->Form_Load();

    EXPECT_EQ(boxesAt(), (std::vector<std::string>{"140"}));
    EXPECT_EQ(form->Combo1->currentIndex(), -1);
    EXPECT_EQ(form->Combo2->currentIndex(), 2);
}

TEST_F(DriveListsTest, SavedTextsAreConvertedOrReportedWhereTheyAreRead)
{
    threeDrives();
    fakes.settings.set("Combo1", "-1");
    fakes.settings.set("Combo2", "2.5");
    form->Form_Load();
    EXPECT_EQ(form->Combo1->currentIndex(), -1);
    EXPECT_EQ(form->Combo2->currentIndex(), 2);
    EXPECT_TRUE(fakes.messageBoxes.shown.empty());

    // A destination text that is no number leaves n at 0: the first drive.
    positionsOnly({{"Combo1", "70000"}, {"Combo2", "abc"}});
    form->PushButton2_Click();
    EXPECT_EQ(boxesAt(), (std::vector<std::string>{"140", "144"}));
    EXPECT_NE(fakes.messageBoxes.texts()[0].find("Overflow\r\n"), std::string::npos);
    EXPECT_NE(fakes.messageBoxes.texts()[1].find("Type mismatch\r\n"), std::string::npos);
    EXPECT_EQ(form->Combo1->currentIndex(), -1);
    EXPECT_EQ(form->Combo2->currentIndex(), 0);
}

TEST_F(DriveListsTest, RefreshingListsEveryDriveOnceWithItsRecordStillPaired)
{
    threeDrives();
    form->Form_Load();
    form->PushButton2_Click();
    form->PushButton3_Click();

    ASSERT_EQ(form->Combo1->count(), 3);
    ASSERT_EQ(form->Combo2->count(), 3);
    ASSERT_EQ(form->DriveRecords1->count(), 3);
    ASSERT_EQ(form->DriveRecords2->count(), 3);
    form->Combo2->setCurrentIndex(2);
    EXPECT_EQ(form->Text2->text(), QStringLiteral("/media/alex/Stick/Backup 08-31-2021"));
    EXPECT_EQ(form->Combo1->currentIndex(), 0);
    EXPECT_EQ(form->Combo2->currentIndex(), 2);
}

TEST_F(DriveListsTest, WithNoUsableDriveTheListsStayEmptyAndNoSettingIsTouched)
{
    fakes.drives.list = {{"/mnt/share", DriveType::Network, true, "Share", 8},
                         {"/media/cdrom", DriveType::CdRom, false, "", 0}};
    form->Form_Load();

    EXPECT_EQ(form->Combo1->count(), 0);
    EXPECT_EQ(form->Combo2->count(), 0);
    EXPECT_TRUE(fakes.settings.writes.empty());
    EXPECT_TRUE(fakes.messageBoxes.shown.empty());
}

TEST_F(DriveListsTest, ADriveListThatCannotBeReadIsReportedAt100AndLeavesEmptyLists)
{
    fakes.drives.fail = true;
    form->Form_Load();
    EXPECT_EQ(boxesAt(), (std::vector<std::string>{"100"}));
    EXPECT_EQ(form->Combo1->count(), 0);
}

TEST_F(DriveListsTest, AChoiceRunsTheSelectionHandlingOnceAndSavesThePosition)
{
    threeDrives();
    form->Form_Load();
    fakes.settings.writes.clear();

    form->Combo1->setCurrentIndex(1);
    EXPECT_EQ(form->Text1->text(), QStringLiteral("/media/alex/Archive/"));
    EXPECT_EQ(fakes.settings.writes, (std::vector<std::string>{"Combo1=1", "Combo1Drive=volume /media/alex/Archive"}));

    // No selection: the path stays as it was and "-1" is saved, with no drive.
    form->Combo1->setListIndex(-1);
    EXPECT_EQ(form->Text1->text(), QStringLiteral("/media/alex/Archive/"));
    EXPECT_EQ(fakes.settings.get("Combo1"), "-1");
    EXPECT_EQ(fakes.settings.get("Combo1Drive"), "");
}

TEST_F(DriveListsTest, ChoosingTheSameDestinationAgainRenewsTheDateOfItsFolder)
{
    threeDrives();
    form->Form_Load();
    fakes.clock.date = {2022, 1, 5};
    form->show();
    form->Combo2->showPopup();
    form->Combo2->hidePopup();
    emit form->Combo2->activated(form->Combo2->currentIndex());
    EXPECT_EQ(form->Text2->text(), QStringLiteral("/media/alex/Archive/Backup 01-05-2022"));
}

TEST_F(DriveListsTest, TheChosenDrivesAreSelectedAgainWhereverTheyNowStand)
{
    threeDrives();
    form->Form_Load();
    form->Combo1->setCurrentIndex(2);
    form->Combo2->setCurrentIndex(1);

    fakes.drives.list.insert(fakes.drives.list.begin(), {"/media/alex/New", DriveType::Removable, true, "New", 1});
    form->PushButton2_Click();

    EXPECT_EQ(form->Combo1->currentText(), QStringLiteral("Local Disk (/media/alex/Stick)"));
    EXPECT_EQ(form->Combo2->currentText(), QStringLiteral("Archive (/media/alex/Archive)"));
    EXPECT_EQ(form->Text1->text(), QStringLiteral("/media/alex/Stick/"));
    EXPECT_EQ(fakes.settings.get("Combo2"), "2");
}

TEST_F(DriveListsTest, ARememberedDriveThatIsGoneLeavesItsListWithoutSelectionOrPath)
{
    threeDrives();
    form->Form_Load();
    ASSERT_FALSE(form->Text2->text().isEmpty());

    fakes.drives.list.erase(fakes.drives.list.begin() + 1); // the destination, Archive
    form->PushButton3_Click();

    EXPECT_EQ(form->Combo1->currentIndex(), 0);
    EXPECT_EQ(form->Combo2->currentIndex(), -1);
    EXPECT_EQ(form->Text2->text(), QString());
    // Still remembered: the drive is selected again once it is back.
    EXPECT_EQ(fakes.settings.get("Combo2Drive"), "volume /media/alex/Archive");
}
