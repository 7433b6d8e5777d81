#include "platform/qt/QtDesktop.h"

#include "platform/Services.h"
#include "platform/UrlOpener.h"

#include <QApplication>
#include <QObject>
#include <QUrl>
#include <QWidget>

#include <map>

#ifdef _WIN32
#include <windows.h>
#else
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QVariantMap>
#endif

namespace drovanta::platform {
namespace {

// A bus call that waits this long at the most: a hung service must not hold
// up the start or the end of a backup.
constexpr int busTimeoutMs = 2000;

#ifdef _WIN32
class ExecutionStateBlock final : public SleepBlock {
public:
    ExecutionStateBlock() { ::SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED); }
    ~ExecutionStateBlock() override { ::SetThreadExecutionState(ES_CONTINUOUS); }
};
#else
// logind keeps the inhibitor for as long as the descriptor it hands out is
// open; QDBusUnixFileDescriptor owns a duplicate and closes it when released.
class LogindBlock final : public SleepBlock {
public:
    LogindBlock(QDBusUnixFileDescriptor fd, std::string limitation)
        : m_fd(std::move(fd)), m_limitation(std::move(limitation))
    {
    }
    std::string limitation() const override { return m_limitation; }

private:
    QDBusUnixFileDescriptor m_fd;
    std::string m_limitation;
};

QDBusMessage inhibit(QDBusConnection &bus, const QString &what, const std::string &why)
{
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
        QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("Inhibit"));
    call << what << QStringLiteral("Drovanta") << QString::fromStdString(why) << QStringLiteral("block");
    return bus.call(call, QDBus::Block, busTimeoutMs);
}

QDBusUnixFileDescriptor inhibitorOf(const QDBusMessage &reply)
{
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return {};
    return reply.arguments().first().value<QDBusUnixFileDescriptor>();
}

const QString notifications = QStringLiteral("org.freedesktop.Notifications");
const QString openFolderAction = QStringLiteral("open-folder");
#endif

} // namespace

// The notification service tells every client of every action invoked; each
// of ours remembers the folder its "Open folder" opens.
class QtDesktop::Actions final : public QObject {
    Q_OBJECT
public:
    Actions()
    {
#ifndef _WIN32
        QDBusConnection::sessionBus().connect(notifications, QStringLiteral("/org/freedesktop/Notifications"),
                                              notifications, QStringLiteral("ActionInvoked"), this,
                                              SLOT(invoked(uint, QString)));
#endif
    }

    std::map<uint, std::string> folders;

public slots:
    void invoked(uint id, const QString &action)
    {
        const auto found = folders.find(id);
        UrlOpener *opener = services().urlOpener;
        if (found == folders.end() || action != QStringLiteral("open-folder") || opener == nullptr)
            return;
        try {
            opener->open(QUrl::fromLocalFile(QString::fromStdString(found->second)).toString(QUrl::FullyEncoded)
                             .toStdString());
        } catch (...) {
            // The notification has gone; the folder stays where the window's
            // closing message named it.
        }
    }
};

QtDesktop::QtDesktop() = default;
QtDesktop::~QtDesktop() = default;

std::unique_ptr<SleepBlock> QtDesktop::preventSleep(const std::string &why)
{
#ifdef _WIN32
    (void)why;
    return std::make_unique<ExecutionStateBlock>();
#else
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected())
        return nullptr;
    const QDBusMessage both = inhibit(bus, QStringLiteral("sleep:idle"), why);
    if (const auto fd = inhibitorOf(both); fd.isValid())
        return std::make_unique<LogindBlock>(fd, std::string());
    // A job without a login session (cron, a user timer) is refused the sleep
    // block by the usual policy, and the request as a whole with it: the idle
    // block alone still keeps an unattended machine from suspending.
    const auto idle = inhibitorOf(inhibit(bus, QStringLiteral("idle"), why));
    if (!idle.isValid())
        return nullptr;
    std::string reason = both.errorMessage().toStdString();
    return std::make_unique<LogindBlock>(
        idle, "The system refused to hold off sleep during the run" + (reason.empty() ? "" : " (" + reason + ")") +
            "; only idle suspend was held off.");
#endif
}

void QtDesktop::announce(const Announcement &announcement)
{
#ifndef _WIN32
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected()) {
        if (!m_actions)
            m_actions = std::make_unique<Actions>();
        QStringList actions;
        if (!announcement.folder.empty())
            actions << openFolderAction << QStringLiteral("Open folder");
        QDBusMessage call = QDBusMessage::createMethodCall(notifications, QStringLiteral("/org/freedesktop/Notifications"),
                                                           notifications, QStringLiteral("Notify"));
        call << QStringLiteral("Drovanta") << quint32(0) << QStringLiteral("drovanta")
             << QString::fromStdString(announcement.title) << QString::fromStdString(announcement.text) << actions
             << QVariantMap{{QStringLiteral("desktop-entry"), QStringLiteral("io.github.corvane.Drovanta")}}
             << qint32(-1);
        const QDBusMessage reply = bus.call(call, QDBus::Block, busTimeoutMs);
        if (reply.type() == QDBusMessage::ReplyMessage) {
            if (!announcement.folder.empty() && !reply.arguments().isEmpty())
                m_actions->folders[reply.arguments().first().toUInt()] = announcement.folder;
            return;
        }
    }
#else
    (void)announcement;
#endif
    // No notification service: the window asks for attention instead (an
    // urgency hint, a flashing taskbar button).
    for (QWidget *window : QApplication::topLevelWidgets()) {
        if (window->isVisible())
            QApplication::alert(window);
    }
}

} // namespace drovanta::platform

#include "QtDesktop.moc"
