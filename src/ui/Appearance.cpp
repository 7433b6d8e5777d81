// The window's looks: icon, skin, pointer and hover feedback.
#include "ui/Appearance.h"

#include "ui/Form1.h"
#include "ui/Main.h"
#include "ui/SkinFramework.h"

#include "platform/Failure.h"
#include "platform/OptionalFile.h"

#include <QApplication>
#include <QBuffer>
#include <QEvent>
#include <QFileInfo>
#include <QGroupBox>
#include <QImage>
#include <QImageReader>
#include <QMouseEvent>
#include <QPixmap>
#include <QPushButton>
#include <QtEndian>

#include <cstdint>

namespace drovanta::shell {
namespace {

// Pointer pictures are a few KiB; anything far larger is not one.
constexpr std::uint64_t maxCursorFileBytes = 1024 * 1024;

[[noreturn]] void invalidPicture()
{
    throw Failure("Invalid picture");
}

// A cursor file: a 6-byte header (reserved, type 2, image count), then one
// 16-byte directory entry per image. The hot spot lives in the entry, where
// an icon file keeps its colour planes and bit count.
constexpr qsizetype headerSize = 6;
constexpr qsizetype entrySize = 16;
constexpr quint16 cursorType = 2;

quint16 word(const QByteArray &bytes, qsizetype offset)
{
    return qFromLittleEndian<quint16>(bytes.constData() + offset);
}

quint32 dword(const QByteArray &bytes, qsizetype offset)
{
    return qFromLittleEndian<quint32>(bytes.constData() + offset);
}

// A control takes its background colour from its parent unless it has one of
// its own, so recolouring the window and the frames would recolour every
// control inside them as well. Pinning the colour it shows now keeps it.
void keepBackground(QWidget *control)
{
    QPalette palette = control->palette();
    palette.setColor(QPalette::Window, palette.color(QPalette::Window));
    control->setPalette(palette);
}

void setBackground(QWidget *widget, const QColor &colour)
{
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Window, colour);
    widget->setPalette(palette);
    widget->setAutoFillBackground(true);
}

} // namespace

QIcon applicationIcon()
{
    return QIcon(QStringLiteral(":/drovanta.xpm"));
}

QCursor loadCursorFile(const QString &path)
{
    const platform::OptionalFileContent content = platform::readOptionalFile(path.toStdString(), maxCursorFileBytes);
    if (content.status != platform::OptionalFileContent::Status::Read)
        invalidPicture();
    const QByteArray bytes = QByteArray::fromStdString(content.bytes);
    if (bytes.size() < headerSize + entrySize)
        invalidPicture();
    if (word(bytes, 0) != 0 || word(bytes, 2) != cursorType || word(bytes, 4) == 0)
        invalidPicture();

    // Qt reads the first image, which is the one the first entry describes.
    const int hotX = word(bytes, headerSize + 4);
    const int hotY = word(bytes, headerSize + 6);
    const quint32 imageSize = dword(bytes, headerSize + 8);
    const quint32 imageOffset = dword(bytes, headerSize + 12);
    if (imageSize == 0 || imageOffset < headerSize + entrySize ||
        quint64(imageOffset) + imageSize > quint64(bytes.size()))
        invalidPicture();

    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, "cur");
    const QImage image = reader.read();
    if (image.isNull())
        invalidPicture();
    return QCursor(QPixmap::fromImage(image), hotX, hotY);
}

void Main::ApplySkin()
{
    const QString path = QString::fromStdString(programFile("x/o.cjs"));
    const QFileInfo file(path);
    if (!file.isFile() || file.isHidden())
        return;

    Form1 &form = Form1::instance();
    const QColor buttonFace = QApplication::palette().color(QPalette::Button);
    QList<QWidget *> backgrounds{&form, form.Frame1, form.Frame2};
    for (QWidget *control : form.findChildren<QWidget *>()) {
        if (!control->isWindow() && !backgrounds.contains(control))
            keepBackground(control);
    }
    for (QWidget *widget : backgrounds)
        setBackground(widget, buttonFace);

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
    // Controls without a pointer of their own show the window's. Those that
    // bring one (the I-beam of a text box) would hide an hourglass over them,
    // so they get the window's pointer too.
    for (QWidget *child : findChildren<QWidget *>()) {
        if (child->window() == this && child->testAttribute(Qt::WA_SetCursor))
            child->setCursor(cursor);
    }
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

// Qt hands a move over a control that does not track the mouse (a list, the
// progress bar) and a move a control ignores (a button) on to its parent, so
// the window and the frames see moves over their controls too. Only a move
// with no control under it is a move over their own surface.
void Form1::mouseMoveEvent(QMouseEvent *event)
{
    if (!childAt(event->position().toPoint()))
        Form_MouseMove();
    QWidget::mouseMoveEvent(event);
}

bool Form1::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::MouseMove) {
        const QPoint position = static_cast<QMouseEvent *>(event)->position().toPoint();
        if (watched == PushButton1)
            PushButton1_MouseMove();
        else if (watched == PushButton2)
            PushButton2_MouseMove();
        else if (watched == PushButton3)
            PushButton3_MouseMove();
        else if (watched == PushButton4)
            PushButton4_MouseMove();
        else if (watched == Frame1 && !Frame1->childAt(position))
            Frame1_MouseMove();
        else if (watched == Frame2 && !Frame2->childAt(position))
            Frame2_MouseMove();
    }
    return QWidget::eventFilter(watched, event);
}

} // namespace drovanta::shell
