#include "ui/WaitWithoutFreezing.h"

#include <QApplication>
#include <QEventLoop>
#include <QMetaObject>
#include <QMouseEvent>
#include <QPointer>
#include <QWidget>
#include <QWindow>

#include <exception>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

namespace drovanta::shell {
namespace {

bool isUserInput(QEvent::Type type)
{
    switch (type) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
    case QEvent::Wheel:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::TouchCancel:
    case QEvent::TabletPress:
    case QEvent::TabletMove:
    case QEvent::TabletRelease:
    case QEvent::NativeGesture:
        return true;
    default:
        return false;
    }
}

bool isMouse(QEvent::Type type)
{
    return type == QEvent::MouseButtonPress || type == QEvent::MouseButtonRelease ||
           type == QEvent::MouseButtonDblClick || type == QEvent::MouseMove;
}

// Holds back the user's input while an operation runs, except what goes to
// the stop control. Input is caught where the window system hands it to a
// window, before the window passes it on to a widget; held events are posted
// back to their windows, in order, when the hold ends.
class InputHold final : public QObject {
public:
    explicit InputHold(QWidget *stopControl) : m_stopControl(stopControl) { qApp->installEventFilter(this); }
    ~InputHold() override
    {
        qApp->removeEventFilter(this);
        for (auto &[receiver, event] : m_held) {
            if (receiver)
                QCoreApplication::postEvent(receiver, event.release());
        }
    }
    InputHold(const InputHold &) = delete;
    InputHold &operator=(const InputHold &) = delete;

protected:
    bool eventFilter(QObject *receiver, QEvent *event) override
    {
        if (!receiver->isWindowType() || !isUserInput(event->type()))
            return false;
        if (reachesStopControl(static_cast<QWindow *>(receiver), event))
            return false;
        m_held.emplace_back(QPointer<QObject>(receiver), std::unique_ptr<QEvent>(event->clone()));
        return true;
    }

private:
    bool reachesStopControl(QWindow *window, QEvent *event)
    {
        if (!m_stopControl || !m_stopControl->isVisible() || !m_stopControl->isEnabled())
            return false;
        QWidget *top = m_stopControl->window();
        if (top->windowHandle() != window)
            return false;
        if (isMouse(event->type())) {
            // A press on the control takes the mouse until its release, so
            // that the button sees both halves of the click.
            if (m_mouseTaken) {
                if (event->type() == QEvent::MouseButtonRelease &&
                    static_cast<QMouseEvent *>(event)->buttons() == Qt::NoButton)
                    m_mouseTaken = false;
                return true;
            }
            if (event->type() != QEvent::MouseButtonPress && event->type() != QEvent::MouseButtonDblClick)
                return false;
            const QPoint at = static_cast<QMouseEvent *>(event)->position().toPoint();
            QWidget *hit = top->childAt(at);
            m_mouseTaken = hit && (hit == m_stopControl || m_stopControl->isAncestorOf(hit));
            return m_mouseTaken;
        }
        if (event->type() == QEvent::KeyPress || event->type() == QEvent::KeyRelease ||
            event->type() == QEvent::ShortcutOverride)
            return QApplication::focusWidget() == m_stopControl;
        return false;
    }

    QPointer<QWidget> m_stopControl;
    bool m_mouseTaken = false;
    std::vector<std::pair<QPointer<QObject>, std::unique_ptr<QEvent>>> m_held;
};

} // namespace

engine::Result waitWithoutFreezing(const std::function<engine::Result()> &operation, QWidget *stopControl)
{
    QEventLoop loop;
    engine::Result result;
    std::exception_ptr failure;
    InputHold hold(stopControl);
    std::thread worker([&] {
        try {
            result = operation();
        } catch (...) {
            failure = std::current_exception();
        }
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec();
    worker.join();
    if (failure)
        std::rethrow_exception(failure);
    return result;
}

} // namespace drovanta::shell
