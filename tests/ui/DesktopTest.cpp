// The desktop's side of a run as the system's services see it: the login
// manager's inhibitor and the notification service, played by fakes on a
// private bus of the test's own (both the session and the system bus), so
// that neither the machine's real services nor its user's desktop are met.
#include "Fakes.h"

#include "platform/Services.h"
#include "platform/qt/QtDesktop.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QDeadlineTimer>
#include <QThread>
#include <QVariantMap>

#include <csignal>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include <sys/types.h>
#include <unistd.h>

namespace {

std::string busAddress;
std::string noBus; // why there is no private bus, for the skip message

const QString fakeConnection = QStringLiteral("fake-services");

// logind as a scheduled job without a login session meets it: the sleep
// block refused, the idle block granted.
class FakeLogin final : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")
public:
    std::vector<std::string> requests() const
    {
        const std::lock_guard lock(m_mutex);
        return m_requests;
    }

public slots:
    QDBusUnixFileDescriptor Inhibit(const QString &what, const QString &, const QString &, const QString &)
    {
        {
            const std::lock_guard lock(m_mutex);
            m_requests.push_back(what.toStdString());
        }
        if (what.split(u':').contains(QStringLiteral("sleep"))) {
            sendErrorReply(QDBusError::AccessDenied, QStringLiteral("Permission denied"));
            return {};
        }
        int ends[2];
        if (::pipe(ends) != 0)
            return {};
        QDBusUnixFileDescriptor fd(ends[0]);
        ::close(ends[0]);
        ::close(ends[1]);
        return fd;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_requests;
};

struct Notification {
    std::string summary;
    std::string body;
    std::vector<std::string> actions;
};

class FakeNotifications final : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    std::vector<Notification> shown() const
    {
        const std::lock_guard lock(m_mutex);
        return m_shown;
    }

public slots:
    uint Notify(const QString &, uint, const QString &, const QString &summary, const QString &body,
                const QStringList &actions, const QVariantMap &, int)
    {
        Notification notification{summary.toStdString(), body.toStdString(), {}};
        for (const QString &action : actions)
            notification.actions.push_back(action.toStdString());
        const std::lock_guard lock(m_mutex);
        m_shown.push_back(notification);
        return static_cast<uint>(m_shown.size()) + 40;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<Notification> m_shown;
};

// The fakes answer on a thread of their own: the desktop's calls block the
// test's thread until the answer comes.
class DesktopTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (busAddress.empty())
            GTEST_SKIP() << "no private bus: " << noBus;
        m_bus = QDBusConnection::connectToBus(QString::fromStdString(busAddress), fakeConnection);
        ASSERT_TRUE(m_bus.isConnected());
        m_thread.start();
        m_login.moveToThread(&m_thread);
        m_notifications.moveToThread(&m_thread);
        ASSERT_TRUE(m_bus.registerObject(QStringLiteral("/org/freedesktop/login1"), &m_login,
                                         QDBusConnection::ExportAllSlots));
        ASSERT_TRUE(m_bus.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &m_notifications,
                                         QDBusConnection::ExportAllSlots));
        ASSERT_TRUE(m_bus.registerService(QStringLiteral("org.freedesktop.login1")));
        ASSERT_TRUE(m_bus.registerService(QStringLiteral("org.freedesktop.Notifications")));
        drovanta::platform::services().urlOpener = &m_opener;
    }
    void TearDown() override
    {
        drovanta::platform::services().urlOpener = nullptr;
        if (m_bus.isConnected()) {
            m_bus.unregisterService(QStringLiteral("org.freedesktop.login1"));
            m_bus.unregisterService(QStringLiteral("org.freedesktop.Notifications"));
            m_bus.unregisterObject(QStringLiteral("/org/freedesktop/login1"));
            m_bus.unregisterObject(QStringLiteral("/org/freedesktop/Notifications"));
        }
        m_thread.quit();
        m_thread.wait();
        QDBusConnection::disconnectFromBus(fakeConnection);
    }

    QDBusConnection m_bus{QString()};
    QThread m_thread;
    FakeLogin m_login;
    FakeNotifications m_notifications;
    drovanta::testing::FakeUrlOpener m_opener;
    drovanta::platform::QtDesktop m_desktop;
};

TEST_F(DesktopTest, ARefusedSleepBlockFallsBackToTheIdleBlockAndSaysSo)
{
    const auto block = m_desktop.preventSleep("Backing up /media/alex/Photos/");

    ASSERT_NE(block, nullptr);
    EXPECT_EQ(m_login.requests(), (std::vector<std::string>{"sleep:idle", "idle"}));
    EXPECT_EQ(block->limitation(),
              "The system refused to hold off sleep during the run (Permission denied); only idle suspend was held off.");
}

TEST_F(DesktopTest, TheEndOfARunIsANotificationWhoseOpenFolderActionOpensTheBackupFolder)
{
    const std::string folder = "/media/alex/Archive/Backup 12-09-2026";
    m_desktop.announce({"Backup finished", "3 files (14 bytes) copied to " + folder + ".", folder});

    const auto shown = m_notifications.shown();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].summary, "Backup finished");
    EXPECT_EQ(shown[0].body, "3 files (14 bytes) copied to " + folder + ".");
    EXPECT_EQ(shown[0].actions, (std::vector<std::string>{"open-folder", "Open folder"}));

    // The user clicks "Open folder" on the notification.
    QDBusMessage invoked = QDBusMessage::createSignal(QStringLiteral("/org/freedesktop/Notifications"),
                                                      QStringLiteral("org.freedesktop.Notifications"),
                                                      QStringLiteral("ActionInvoked"));
    invoked << uint(41) << QStringLiteral("open-folder");
    ASSERT_TRUE(m_bus.send(invoked));
    const QDeadlineTimer deadline(3000);
    while (m_opener.opened.empty() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);

    EXPECT_EQ(m_opener.opened, std::vector<std::string>{"file:///media/alex/Archive/Backup%2012-09-2026"});
}

} // namespace

// A bus daemon of the test's own for as long as the tests run.
int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    pid_t daemon = 0;
    if (FILE *started = ::popen("dbus-daemon --session --fork --print-address=1 --print-pid=1 2>&1", "r")) {
        char line[512];
        if (std::fgets(line, sizeof line, started) && std::string(line).find('=') != std::string::npos) {
            busAddress = line;
            while (!busAddress.empty() && (busAddress.back() == '\n' || busAddress.back() == ' '))
                busAddress.pop_back();
            if (std::fgets(line, sizeof line, started))
                daemon = static_cast<pid_t>(std::atol(line));
        } else {
            noBus = "dbus-daemon did not start";
        }
        ::pclose(started);
    } else {
        noBus = "dbus-daemon cannot be run";
    }
    if (!busAddress.empty()) {
        qputenv("DBUS_SESSION_BUS_ADDRESS", QByteArray::fromStdString(busAddress));
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", QByteArray::fromStdString(busAddress));
    }
    int result = 0;
    {
        QApplication app(argc, argv);
        ::testing::InitGoogleTest(&argc, argv);
        result = RUN_ALL_TESTS();
    }
    if (daemon > 0)
        ::kill(daemon, SIGTERM);
    return result;
}

#include "DesktopTest.moc"
