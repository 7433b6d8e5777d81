// The window's looks: icon, skin, pointer and hover feedback.
#include "shell/Appearance.h"

#include "shell/Form1.h"
#include "shell/Main.h"
#include "shell/SkinFramework.h"

#include "platform/Failure.h"

#include <QEvent>
#include <QFile>
#include <QFileInfo>
#include <QMouseEvent>
#include <QGroupBox>
#include <QPixmap>
#include <QPushButton>

namespace drovanta::shell {

QIcon applicationIcon()
{
    return QIcon(QStringLiteral(":/drovanta.xpm"));
}

QCursor loadCursorFile(const QString &path)
{
    QPixmap picture;
    if (!picture.load(path))
        throw Failure("Invalid picture");
    return QCursor(picture, 0, 0);
}

void Main::ApplySkin()
{
    const QString path = QString::fromStdString(programFile("x/o.cjs"));
    const QFileInfo file(path);
    if (!file.isFile() || file.isHidden())
        return;
    Form1 &form = Form1::instance();
    form.SkinFramework1->loadSkin(path);
    form.SkinFramework1->applyWindow(&form);
}

void Form1::setMouseIcon(const QCursor &cursor)
{
    m_mouseIcon = cursor;
    applyPointer();
}

void Form1::setMousePointer(int code)
{
    m_mousePointer = code;
    applyPointer();
}

void Form1::applyPointer()
{
    QCursor cursor;
    switch (m_mousePointer) {
    case Hourglass:
        cursor = QCursor(Qt::WaitCursor);
        break;
    case CustomPointer:
        cursor = m_mouseIcon ? *m_mouseIcon : QCursor(Qt::PointingHandCursor);
        break;
    default:
        cursor = QCursor(Qt::ArrowCursor);
        break;
    }
    setCursor(cursor);
}

void Form1::Form_MouseMove()
{
    if (MousePointer() != Hourglass)
        setMousePointer(DefaultPointer);
}

void Form1::Frame1_MouseMove()
{
    Form_MouseMove();
}

void Form1::Frame2_MouseMove()
{
    Form_MouseMove();
}

void Form1::PushButton1_MouseMove()
{
    if (MousePointer() != Hourglass)
        setMousePointer(CustomPointer);
}

void Form1::PushButton2_MouseMove()
{
    PushButton1_MouseMove();
}

void Form1::PushButton3_MouseMove()
{
    PushButton1_MouseMove();
}

void Form1::PushButton4_MouseMove()
{
    PushButton1_MouseMove();
}

void Form1::mouseMoveEvent(QMouseEvent *event)
{
    Form_MouseMove();
    QWidget::mouseMoveEvent(event);
}

bool Form1::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::MouseMove) {
        if (watched == PushButton1)
            PushButton1_MouseMove();
        else if (watched == PushButton2)
            PushButton2_MouseMove();
        else if (watched == PushButton3)
            PushButton3_MouseMove();
        else if (watched == PushButton4)
            PushButton4_MouseMove();
        else if (watched == Frame1)
            Frame1_MouseMove();
        else if (watched == Frame2)
            Frame2_MouseMove();
    }
    return QWidget::eventFilter(watched, event);
}

} // namespace drovanta::shell
