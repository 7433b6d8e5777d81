#include "platform/qt/QtDesktop.h"

#include <QApplication>
#include <QWidget>

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
    explicit LogindBlock(QDBusUnixFileDescriptor fd) : m_fd(std::move(fd)) {}

private:
    QDBusUnixFileDescriptor m_fd;
};
#endif

} // namespace

std::unique_ptr<SleepBlock> QtDesktop::preventSleep(const std::string &why)
{
#ifdef _WIN32
    (void)why;
    return std::make_unique<ExecutionStateBlock>();
#else
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected())
        return nullptr;
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
        QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("Inhibit"));
    call << QStringLiteral("sleep:idle") << QStringLiteral("Drovanta") << QString::fromStdString(why)
         << QStringLiteral("block");
    const QDBusMessage reply = bus.call(call, QDBus::Block, busTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return nullptr;
    const auto fd = reply.arguments().first().value<QDBusUnixFileDescriptor>();
    if (!fd.isValid())
        return nullptr;
    return std::make_unique<LogindBlock>(fd);
#endif
}

void QtDesktop::announce(const std::string &title, const std::string &text)
{
#ifndef _WIN32
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected()) {
        QDBusMessage call = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("/org/freedesktop/Notifications"),
            QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
        call << QStringLiteral("Drovanta") << quint32(0) << QStringLiteral("drovanta") << QString::fromStdString(title)
             << QString::fromStdString(text) << QStringList()
             << QVariantMap{{QStringLiteral("desktop-entry"), QStringLiteral("io.github.corvane.Drovanta")}}
             << qint32(-1);
        const QDBusMessage reply = bus.call(call, QDBus::Block, busTimeoutMs);
        if (reply.type() == QDBusMessage::ReplyMessage)
            return;
    }
#else
    (void)title;
    (void)text;
#endif
    // No notification service: the window asks for attention instead (an
    // urgency hint, a flashing taskbar button).
    for (QWidget *window : QApplication::topLevelWidgets()) {
        if (window->isVisible())
            QApplication::alert(window);
    }
}

} // namespace drovanta::platform
