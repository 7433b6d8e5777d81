#include "UiFixture.h"

#include "core/shell/SettingsStore.h"

#include "platform/Failure.h"
#include "platform/qt/QtSettingsBackend.h"

#include <QFile>
#include <QTemporaryDir>

namespace settings = drovanta::shell::SettingsStore;

TEST(SettingsStore, ReadsTheDefaultForAMissingKeyAndWritesThroughAtOnce)
{
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    drovanta::testing::FakeServices fakes;
    drovanta::platform::QtSettingsBackend backend(folder.path());
    drovanta::platform::services().settings = &backend;

    EXPECT_EQ(settings::getSetting("Combo2", 1), "1");
    settings::saveSetting("Combo2", "-1");
    EXPECT_EQ(settings::getSetting("Combo2", 1), "-1");

    // Written at once, under the application and section names, in the folder given.
    QFile file(folder.filePath(QStringLiteral("Corvane/Drovanta.conf")));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_TRUE(file.readAll().contains("Combo2=-1"));
}
