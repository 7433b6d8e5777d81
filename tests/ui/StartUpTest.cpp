#include "UiFixture.h"

#include "ui/Main.h"

#include <QFile>
#include <QTemporaryDir>

using drovanta::shell::Main::appTitleFor;
using drovanta::testing::UiTest;

namespace {

class StartUpTest : public UiTest {
protected:
    // Puts a file beside the "program" in a temporary folder.
    void putBesideProgram(const QString &name, const QByteArray &content)
    {
        ASSERT_TRUE(m_folder.isValid());
        fakes.application.folder = m_folder.path().toStdString();
        QFile file(m_folder.filePath(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(content);
    }

    QTemporaryDir m_folder;
};

} // namespace

TEST_F(StartUpTest, WithNoOptionalFilesStartsSilentlyWithCaptionAndTitleDrovanta)
{
    form->Form_Load();

    EXPECT_TRUE(fakes.messageBoxes.shown.empty());
    EXPECT_EQ(form->windowTitle(), QStringLiteral("Drovanta"));
    EXPECT_EQ(fakes.application.title(), "Drovanta");
    EXPECT_FALSE(form->windowIcon().isNull());
    EXPECT_FALSE(form->MouseIcon().has_value());
    ASSERT_TRUE(form->DriveRecords1 && form->DriveRecords2);
    EXPECT_EQ(form->DriveRecords1->count(), 0);
}

TEST_F(StartUpTest, AFailingStepShowsItsLabelAndStartUpGoesOn)
{
    putBesideProgram(QStringLiteral("HAND-M.CUR"), "this is no cursor");
    fakes.urlOpener.fail = true;
    fakes.random.value = 0.065f; // draws 7: the visit is attempted and fails

    form->Form_Load();

    const auto texts = fakes.messageBoxes.texts();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_NE(texts[0].find("\r\nin Drovanta2021/08/31.Form1.Form_Load at line 106\r\r"), std::string::npos);
    EXPECT_NE(texts[1].find("\r\nin Drovanta2021/08/31.Form1.Form_Load at line 108\r\r"), std::string::npos);
    EXPECT_TRUE(form->DriveRecords1 && form->DriveRecords2);
    EXPECT_EQ(form->windowTitle(), QStringLiteral("Drovanta"));
}

TEST_F(StartUpTest, TheHomePageOpensOnceOnADrawOfSevenAndNeverOtherwise)
{
    fakes.random.value = 0.065f; // floor(6.5) + 1 = 7
    form->Form_Load();
    EXPECT_EQ(fakes.urlOpener.opened, (std::vector<std::string>{"https://www.corvane.example/"}));
    ASSERT_EQ(fakes.random.seeds.size(), 1u);
    EXPECT_FLOAT_EQ(fakes.random.seeds[0], 3600.5f);

    for (float draw : {0.0f, 0.05f, 0.07f, 0.5f, 0.9999f}) {
        fakes.urlOpener.opened.clear();
        fakes.random.value = draw;
        drovanta::shell::Main::RandomHomePageVisit();
        EXPECT_TRUE(fakes.urlOpener.opened.empty()) << "draw " << draw;
    }
}

TEST_F(StartUpTest, WithoutAHomePageADrawOfSevenOpensNothing)
{
    fakes.random.value = 0.065f;
    drovanta::shell::Main::RandomHomePageVisit("");
    EXPECT_TRUE(fakes.urlOpener.opened.empty());
    EXPECT_EQ(fakes.random.seeds.size(), 1u);
}

TEST_F(StartUpTest, ClosingReleasesTheRecordListsAndEndsTheProcessWithoutAsking)
{
    form->Form_Load();
    form->show();
    form->close();

    EXPECT_FALSE(form->DriveRecords1);
    EXPECT_FALSE(form->DriveRecords2);
    EXPECT_EQ(fakes.application.exitCodes, (std::vector<int>{0}));
    EXPECT_TRUE(fakes.messageBoxes.shown.empty());
}

TEST(AppTitle, CutsTheLastWordAtLeastOnceAndUntilFortyCharactersAtMost)
{
    EXPECT_EQ(appTitleFor("Drovanta"), "Drovanta");
    EXPECT_EQ(appTitleFor("Quick Folder Mirror Tool"), "Quick Folder Mirror");
    // 50 characters, last word 12: one cut leaves 37.
    const std::string fifty = std::string(37, 'a') + " " + std::string(12, 'b');
    ASSERT_EQ(fifty.size(), 50u);
    EXPECT_EQ(appTitleFor(fifty), std::string(37, 'a'));
    // 60 characters, last word 5: 54 remain after one cut, so a second cut.
    const std::string sixty = std::string(20, 'a') + " " + std::string(33, 'c') + " " + std::string(5, 'd');
    ASSERT_EQ(sixty.size(), 60u);
    EXPECT_EQ(appTitleFor(sixty), std::string(20, 'a'));
    EXPECT_EQ(appTitleFor("Short Name"), "Short");
}
