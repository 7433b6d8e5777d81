#include "UiFixture.h"

#include "core/shell/SettingsStore.h"

#include "platform/Failure.h"
#include "platform/qt/QtSettingsBackend.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <ostream>
#include <string>

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

struct UnsafeSettingsFile {
    const char *name;
    bool pipe; // else a link to another file
};

void PrintTo(const UnsafeSettingsFile &file, std::ostream *out)
{
    *out << file.name;
}

class UnsafeSettings : public ::testing::TestWithParam<UnsafeSettingsFile> {};

TEST_P(UnsafeSettings, AreLeftAloneAndTheChoicesAreKeptInMemoryWithOneFailureSaid)
{
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    ASSERT_TRUE(QDir(folder.path()).mkpath(QStringLiteral("Corvane")));
    const std::string place = folder.filePath(QStringLiteral("Corvane/Drovanta.conf")).toStdString();
    const std::string target = folder.filePath(QStringLiteral("elsewhere")).toStdString();
    {
        QFile other(QString::fromStdString(target));
        ASSERT_TRUE(other.open(QIODevice::WriteOnly));
        other.write("[Drovanta]\nCombo2=9\n");
    }
    if (GetParam().pipe)
        ASSERT_EQ(::mkfifo(place.c_str(), 0600), 0);
    else
        ASSERT_EQ(::symlink(target.c_str(), place.c_str()), 0);
    drovanta::platform::QtSettingsBackend backend(folder.path());

    EXPECT_THROW((void)backend.read("Corvane", "Drovanta", "Combo2"), drovanta::Failure);
    backend.write("Corvane", "Drovanta", "Combo2", "4");
    EXPECT_EQ(backend.read("Corvane", "Drovanta", "Combo2"), std::optional<std::string>("4"));

    QFile other(QString::fromStdString(target));
    ASSERT_TRUE(other.open(QIODevice::ReadOnly));
    EXPECT_EQ(other.readAll(), QByteArray("[Drovanta]\nCombo2=9\n")) << "written through the link";
}

INSTANTIATE_TEST_SUITE_P(SettingsStore, UnsafeSettings,
                         ::testing::Values(UnsafeSettingsFile{"ALink", false}, UnsafeSettingsFile{"APipe", true}),
                         [](const auto &info) { return std::string(info.param.name); });
