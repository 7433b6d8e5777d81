#include "UiFixture.h"

#include "ui/Appearance.h"
#include "ui/DriveList.h"
#include "ui/SkinFramework.h"
#include "ui/TextProgressBar.h"

#include <QApplication>
#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QImage>
#include <QImageReader>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QTemporaryDir>
#include <QWindow>
#include <QtEndian>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <thread>

#include <map>
#include <string>
#include <vector>

using drovanta::shell::CustomPointer;
using drovanta::shell::DefaultPointer;
using drovanta::shell::Hourglass;
using drovanta::testing::UiTest;

namespace {

// A style sheet that changes no colour, so the colour checks see only what
// start-up itself does.
const QByteArray colourNeutralSheet = "QPushButton { padding: 1px 6px; }\nQGroupBox { margin-top: 6px; }\n";

class AppearanceTest : public UiTest {
protected:
    // Puts a file beside the "program" in a temporary folder; `name` may
    // contain sub-folders ("x/o.cjs").
    QString putBesideProgram(const QString &name, const QByteArray &content)
    {
        useProgramFolder();
        const QString path = m_folder.filePath(name);
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly)) << name.toStdString();
        file.write(content);
        return path;
    }

    void useProgramFolder()
    {
        ASSERT_TRUE(m_folder.isValid());
        fakes.application.folder = m_folder.path().toStdString();
    }

    QString programPath(const QString &name) const { return m_folder.filePath(name); }

    std::vector<std::string> boxTexts() const { return fakes.messageBoxes.texts(); }

    static bool reportedAt(const std::string &text, int label)
    {
        return text.find("in Drovanta2021/08/31.Form1.Form_Load at line " + std::to_string(label) + "\r\r") !=
               std::string::npos;
    }

    // Every control other than the window and the two frames.
    std::vector<QWidget *> otherControls() const
    {
        return {form->Text1,  form->Text2,       form->Combo1,      form->Combo2,      form->PushButton1,
                form->PushButton2, form->PushButton3, form->PushButton4, form->ProgressBar1};
    }

    QTemporaryDir m_folder;
};

QColor buttonFace()
{
    return QApplication::palette().color(QPalette::Button);
}

QColor background(const QWidget *widget)
{
    return widget->palette().color(QPalette::Window);
}

// The colours a control paints with.
std::vector<QColor> paintColours(const QWidget *widget)
{
    const QPalette palette = widget->palette();
    std::vector<QColor> colours;
    for (auto role : {QPalette::Window, QPalette::WindowText, QPalette::Base, QPalette::Text, QPalette::Button,
                      QPalette::ButtonText, QPalette::Highlight})
        colours.push_back(palette.color(role));
    return colours;
}

// --- cursor files ---------------------------------------------------------

void putWord(QByteArray &bytes, quint16 value)
{
    char raw[2];
    qToLittleEndian(value, raw);
    bytes.append(raw, 2);
}

void putDword(QByteArray &bytes, quint32 value)
{
    char raw[4];
    qToLittleEndian(value, raw);
    bytes.append(raw, 4);
}

// A 32x32, 32-bit device-independent bitmap as a cursor file stores it: an
// info header giving twice the height, the colour rows bottom up, then the
// 1-bit transparency mask. The picture is an opaque dark square with a
// transparent top row, so it can be told from an empty one.
QByteArray cursorBitmap()
{
    QByteArray bytes;
    putDword(bytes, 40); // header size
    putDword(bytes, 32); // width
    putDword(bytes, 64); // colour rows and mask rows
    putWord(bytes, 1);   // planes
    putWord(bytes, 32);  // bits per pixel
    for (int i = 0; i < 6; ++i)
        putDword(bytes, 0); // no compression, default sizes and palette
    for (int row = 0; row < 32; ++row) {
        const bool topRow = row == 31;
        for (int column = 0; column < 32; ++column)
            putDword(bytes, topRow ? 0x00000000u : 0xff203040u);
    }
    for (int row = 0; row < 32; ++row)
        putDword(bytes, row == 31 ? 0xffffffffu : 0u);
    return bytes;
}

QByteArray cursorPng()
{
    QImage image(32, 32, QImage::Format_ARGB32);
    image.fill(QColor(32, 48, 64));
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

struct CursorFields {
    quint16 reserved = 0;
    quint16 type = 2;
    quint16 count = 1;
    quint16 hotX = 5;
    quint16 hotY = 9;
    qint64 offsetShift = 0; // added to the true image offset
};

QByteArray cursorFile(const QByteArray &image, const CursorFields &fields = {})
{
    QByteArray bytes;
    putWord(bytes, fields.reserved);
    putWord(bytes, fields.type);
    putWord(bytes, fields.count);
    bytes.append(char(32)); // width
    bytes.append(char(32)); // height
    bytes.append(char(0));  // colour count
    bytes.append(char(0));  // reserved
    putWord(bytes, fields.hotX);
    putWord(bytes, fields.hotY);
    putDword(bytes, quint32(image.size()));
    putDword(bytes, quint32(6 + 16 + fields.offsetShift));
    bytes.append(image);
    return bytes;
}

// --- mouse ------------------------------------------------------------------

// Moves the mouse to `local` in `widget` as the window system would report
// it: to the window, which finds the control under the point and lets Qt
// pass the move on from there.
void moveMouse(QWidget *widget, QPoint local)
{
    QWidget *window = widget->window();
    ASSERT_NE(window->windowHandle(), nullptr) << "the window must be shown";
    const QPointF inWindow = widget->mapTo(window, local);
    const QPointF global = widget->mapToGlobal(local);
    QMouseEvent move(QEvent::MouseMove, inWindow, inWindow, global, Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(window->windowHandle(), &move);
}

void moveMouse(QWidget *widget)
{
    moveMouse(widget, widget->rect().center());
}

class PointerTest : public AppearanceTest {
protected:
    void SetUp() override
    {
        AppearanceTest::SetUp();
        form->show();
    }

    // Points on the surface of the window and of the frames, clear of controls.
    void moveOverBackground() { moveMouse(form.get(), QPoint(100, 101)); }
    void moveOverFrame(QGroupBox *frame) { moveMouse(frame, QPoint(5, 45)); }

    std::vector<QPushButton *> buttons() const
    {
        return {form->PushButton1, form->PushButton2, form->PushButton3, form->PushButton4};
    }
    std::vector<QWidget *> lists() const { return {form->Combo1, form->Combo2, form->ProgressBar1}; }
};

} // namespace

// --- the skin -----------------------------------------------------------------

TEST_F(AppearanceTest, ASkinFileGivesTheWindowAndFramesTheButtonFaceColourAndAppliesItsSheet)
{
    ASSERT_NE(buttonFace(), QColor(Qt::white)) << "the check needs a button face other than white";
    putBesideProgram(QStringLiteral("x/o.cjs"), colourNeutralSheet);
    std::map<QWidget *, std::vector<QColor>> before;
    for (QWidget *control : otherControls())
        before[control] = paintColours(control);

    form->Form_Load();

    EXPECT_TRUE(fakes.messageBoxes.shown.empty());
    EXPECT_EQ(background(form.get()), buttonFace());
    EXPECT_EQ(background(form->Frame1), buttonFace());
    EXPECT_EQ(background(form->Frame2), buttonFace());
    EXPECT_EQ(form->styleSheet(), QString::fromUtf8(colourNeutralSheet));
    EXPECT_EQ(form->SkinFramework1->styleSheet(), QString::fromUtf8(colourNeutralSheet));
    for (QWidget *control : otherControls())
        EXPECT_EQ(paintColours(control), before[control]) << control->objectName().toStdString();
}

TEST_F(AppearanceTest, WithoutASkinFileStartUpIsSilentAndKeepsTheWhiteDesign)
{
    useProgramFolder();

    form->Form_Load();

    EXPECT_TRUE(fakes.messageBoxes.shown.empty());
    EXPECT_EQ(background(form.get()), QColor(Qt::white));
    EXPECT_EQ(background(form->Frame1), QColor(Qt::white));
    EXPECT_EQ(background(form->Frame2), QColor(Qt::white));
    EXPECT_TRUE(form->styleSheet().isEmpty());
}

TEST_F(AppearanceTest, AFolderNamedLikeTheSkinFileIsNoSkin)
{
    useProgramFolder();
    ASSERT_TRUE(QDir().mkpath(programPath(QStringLiteral("x/o.cjs"))));

    form->Form_Load();

    EXPECT_TRUE(fakes.messageBoxes.shown.empty());
    EXPECT_EQ(background(form.get()), QColor(Qt::white));
    EXPECT_TRUE(form->styleSheet().isEmpty());
}

TEST_F(AppearanceTest, AHiddenSkinFileIsNoSkin)
{
#ifdef Q_OS_WIN
    const QString path = putBesideProgram(QStringLiteral("x/o.cjs"), colourNeutralSheet);
    ASSERT_TRUE(SetFileAttributesW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(path).utf16()),
                                   FILE_ATTRIBUTE_HIDDEN));

    form->Form_Load();

    EXPECT_TRUE(fakes.messageBoxes.shown.empty());
    EXPECT_EQ(background(form.get()), QColor(Qt::white));
    EXPECT_TRUE(form->styleSheet().isEmpty());
#else
    GTEST_SKIP() << "only a name starting with '.' hides a file here, and the skin's name is fixed";
#endif
}

// A file beside the program that start-up must refuse, named for the test.
struct BadFile {
    const char *what;
    QByteArray content;
};

void PrintTo(const BadFile &file, std::ostream *os)
{
    *os << file.what;
}

std::string caseName(const ::testing::TestParamInfo<BadFile> &info)
{
    return info.param.what;
}

class InvalidSkinTest : public AppearanceTest, public ::testing::WithParamInterface<BadFile> {};

TEST_P(InvalidSkinTest, ShowsTheBoxAtLabel100AndStartUpGoesOnWithTheColoursAlreadySet)
{
    putBesideProgram(QStringLiteral("x/o.cjs"), GetParam().content);

    form->Form_Load();

    const auto texts = boxTexts();
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0].rfind("Invalid skin file: ", 0), 0u) << texts[0];
    EXPECT_TRUE(reportedAt(texts[0], 100)) << texts[0];
    EXPECT_EQ(form->windowTitle(), QStringLiteral("Drovanta"));
    EXPECT_EQ(fakes.application.title(), "Drovanta");
    EXPECT_TRUE(form->DriveRecords1 && form->DriveRecords2);
    EXPECT_EQ(background(form.get()), buttonFace());
    EXPECT_EQ(background(form->Frame1), buttonFace());
    EXPECT_TRUE(form->styleSheet().isEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    BadFiles, InvalidSkinTest,
    ::testing::Values(BadFile{"Latin1Text", "QGroupBox { color: red; } /* gr\xfc\xdf */"},
                      BadFile{"CutOffUtf8Sequence", "QGroupBox { color: red; } /* \xe2\x82"},
                      BadFile{"BinaryWithNulBytes", QByteArray("QWidget {}\0\0\0", 13)},
                      BadFile{"UnclosedRule", "QPushButton { color: red; "},
                      BadFile{"StrayClosingBrace", "QPushButton { color: red; } }"},
                      BadFile{"UnclosedQuote", "QWidget#Form1 { background: \"white }"},
                      BadFile{"LargerThanFourMebibytes",
                              colourNeutralSheet + "/*" + QByteArray(4 * 1024 * 1024, ' ') + "*/"}),
    caseName);

TEST_F(AppearanceTest, AnUnreadableSkinFileShowsTheBoxAtLabel100)
{
    const QString path = putBesideProgram(QStringLiteral("x/o.cjs"), colourNeutralSheet);
    ASSERT_TRUE(QFile::setPermissions(path, QFileDevice::Permissions()));
    if (QFile file(path); file.open(QIODevice::ReadOnly))
        GTEST_SKIP() << "this user reads files whatever their permissions (root)";

    form->Form_Load();

    const auto texts = boxTexts();
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0].rfind("Invalid skin file: ", 0), 0u) << texts[0];
    EXPECT_TRUE(reportedAt(texts[0], 100)) << texts[0];
    EXPECT_EQ(form->windowTitle(), QStringLiteral("Drovanta"));
}

TEST_F(AppearanceTest, ASkinCheckLeavesOtherMessagesToTheHandlerThatWasThere)
{
    static std::vector<QString> received;
    received.clear();
    const QtMessageHandler outer = qInstallMessageHandler(
        [](QtMsgType, const QMessageLogContext &, const QString &message) { received.push_back(message); });
    const QString path = putBesideProgram(QStringLiteral("x/o.cjs"), "QPushButton { color: red; } }");
    EXPECT_THROW(form->SkinFramework1->loadSkin(path), drovanta::Failure);
    qWarning("after the check");
    qInstallMessageHandler(outer);

    // The parse warning is the check's own business; the handler is back.
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0], QStringLiteral("after the check"));
}

// --- the example skin and screenshots ------------------------------------

namespace {

QString exampleSkinPath()
{
    QDir tests = QFileInfo(QString::fromUtf8(__FILE__)).dir();
    return QDir::cleanPath(tests.filePath(QStringLiteral("../../assets/skin/o.cjs")));
}

} // namespace

TEST_F(AppearanceTest, TheExampleSkinLoadsAndScreenshotsWithAndWithoutItAreWritten)
{
    QFile example(exampleSkinPath());
    ASSERT_TRUE(example.open(QIODevice::ReadOnly)) << exampleSkinPath().toStdString();
    const QByteArray sheet = example.readAll();

    form->Form_Load();
    form->show();
    EXPECT_TRUE(form->grab().save(QDir::current().filePath(QStringLiteral("window-plain.png"))));

    form.reset();
    fakes.messageBoxes.shown.clear();
    form = std::make_unique<drovanta::shell::Form1>();
    putBesideProgram(QStringLiteral("x/o.cjs"), sheet);
    form->Form_Load();
    form->ProgressBar1->setPercent(40);
    form->ProgressBar1->setText(QStringLiteral("Copy folder Documents"));
    form->show();

    EXPECT_TRUE(fakes.messageBoxes.shown.empty()) << fakes.messageBoxes.texts().front();
    EXPECT_EQ(form->styleSheet(), QString::fromUtf8(sheet));
    EXPECT_TRUE(form->grab().save(QDir::current().filePath(QStringLiteral("window-skinned.png"))));
}

// --- the hand pointer -------------------------------------------------------

TEST_F(AppearanceTest, QtCanReadCursorFiles)
{
    EXPECT_TRUE(QImageReader::supportedImageFormats().contains("cur"));
}

TEST_F(AppearanceTest, APointerFileBesideTheProgramBecomesTheCustomPointerWithItsOwnHotSpot)
{
    putBesideProgram(QStringLiteral("HAND-M.CUR"), cursorFile(cursorBitmap(), {.hotX = 5, .hotY = 9}));

    form->Form_Load();

    EXPECT_TRUE(fakes.messageBoxes.shown.empty());
    ASSERT_TRUE(form->MouseIcon().has_value());
    const QCursor &pointer = *form->MouseIcon();
    EXPECT_EQ(pointer.shape(), Qt::BitmapCursor);
    EXPECT_EQ(pointer.hotSpot(), QPoint(5, 9));
    const QImage image = pointer.pixmap().toImage();
    ASSERT_EQ(image.size(), QSize(32, 32));
    EXPECT_EQ(image.pixelColor(10, 10), QColor(0x20, 0x30, 0x40));
    EXPECT_EQ(image.pixelColor(10, 0).alpha(), 0);
}

TEST_F(AppearanceTest, APointerFileMayCarryAPngPicture)
{
    const QString path = putBesideProgram(QStringLiteral("HAND-M.CUR"),
                                          cursorFile(cursorPng(), {.hotX = 31, .hotY = 0}));

    const QCursor pointer = drovanta::shell::loadCursorFile(path);

    EXPECT_EQ(pointer.hotSpot(), QPoint(31, 0));
    EXPECT_EQ(pointer.pixmap().size(), QSize(32, 32));
}

class InvalidCursorTest : public AppearanceTest, public ::testing::WithParamInterface<BadFile> {};

TEST_P(InvalidCursorTest, ShowsTheBoxAtLabel106AndStartUpGoesOn)
{
    putBesideProgram(QStringLiteral("HAND-M.CUR"), GetParam().content);

    form->Form_Load();

    const auto texts = boxTexts();
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0].rfind("Invalid picture\r\n", 0), 0u) << texts[0];
    EXPECT_TRUE(reportedAt(texts[0], 106)) << texts[0];
    EXPECT_FALSE(form->MouseIcon().has_value());
    EXPECT_TRUE(form->DriveRecords1 && form->DriveRecords2);
}

INSTANTIATE_TEST_SUITE_P(
    BadFiles, InvalidCursorTest,
    ::testing::Values(BadFile{"Text", "this is no cursor"},
                      BadFile{"Empty", QByteArray()},
                      BadFile{"IconNotCursor", cursorFile(cursorBitmap(), {.type = 1})},
                      BadFile{"NoImages", cursorFile(cursorBitmap(), {.count = 0})},
                      BadFile{"CutOffInTheDirectory", cursorFile(cursorBitmap()).left(6 + 10)},
                      BadFile{"CutOffInThePicture", cursorFile(cursorBitmap()).left(6 + 16 + 200)},
                      BadFile{"PictureOffsetPastTheEnd", cursorFile(cursorBitmap(), {.offsetShift = 100000})},
                      BadFile{"UndecodablePicture", cursorFile(QByteArray(4264, '\x7f'))},
                      BadFile{"LargerThanOneMebibyte", cursorFile(cursorBitmap()) + QByteArray(1024 * 1024, '\0')}),
    caseName);

#ifndef Q_OS_WIN
// A FIFO in an optional file's place: reading it would wait for a writer that
// never comes. Start-up must not wait; should it block all the same, the
// watchdog opens the FIFO's other end after a few seconds, so the test fails
// instead of hanging.
struct FifoInPlace {
    const char *name;
    int boxLabel;             // 0: no box
    bool namedBySkin = false; // a picture the skin file names, the skin itself a plain file
};

void PrintTo(const FifoInPlace &fifo, std::ostream *os)
{
    *os << fifo.name;
}

class FifoInPlaceTest : public AppearanceTest, public ::testing::WithParamInterface<FifoInPlace> {};

TEST_P(FifoInPlaceTest, StartUpFinishesAtOnce)
{
    useProgramFolder();
    const QString path = programPath(QString::fromLatin1(GetParam().name));
    QDir().mkpath(QFileInfo(path).absolutePath());
    ASSERT_EQ(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    if (GetParam().namedBySkin)
        putBesideProgram(QStringLiteral("x/o.cjs"), "* { background-image: url(" + QFile::encodeName(path) + "); }\n");
    std::atomic<bool> finished{false};
    std::atomic<bool> rescued{false};
    std::thread watchdog([&] {
        for (int tenths = 0; tenths < 50 && !finished; ++tenths)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        // Again and again: each picture Qt draws opens the FIFO anew.
        while (!finished) {
            rescued = true;
            const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0)
                ::close(fd);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });

    form->Form_Load();
    finished = true;
    watchdog.join();

    EXPECT_FALSE(rescued) << "start-up waited on the FIFO";
    const auto texts = boxTexts();
    if (GetParam().namedBySkin) {
        EXPECT_TRUE(texts.empty());
        EXPECT_FALSE(form->styleSheet().isEmpty()) << "the rest of the skin applies";
    } else if (GetParam().boxLabel == 0) {
        EXPECT_TRUE(texts.empty());
        EXPECT_TRUE(form->styleSheet().isEmpty());
    } else {
        ASSERT_EQ(texts.size(), 1u);
        EXPECT_TRUE(reportedAt(texts[0], GetParam().boxLabel)) << texts[0];
    }
    EXPECT_TRUE(form->DriveRecords1 && form->DriveRecords2);
}

INSTANTIATE_TEST_SUITE_P(OptionalFiles, FifoInPlaceTest,
                         ::testing::Values(FifoInPlace{"x/o.cjs", 0}, FifoInPlace{"HAND-M.CUR", 106},
                                           FifoInPlace{"x/picture.png", 0, true}),
                         [](const ::testing::TestParamInfo<FifoInPlace> &info) {
                             if (info.param.namedBySkin)
                                 return std::string("PictureOfTheSkin");
                             return std::string(info.param.boxLabel == 0 ? "Skin" : "Pointer");
                         });
#endif

// --- pointer codes ------------------------------------------------------------

TEST_F(PointerTest, EachCodeShowsItsPointerOverTheWindowAndEveryControl)
{
    const std::vector<QWidget *> everywhere{form.get(), form->Frame1, form->Combo1, form->PushButton2,
                                            form->PushButton1, form->ProgressBar1, form->Text1, form->Text2};
    // An editable text box would bring an I-beam of its own; the path
    // holders are read-only and bring none, but the codes must reach them
    // all the same.

    form->setMousePointer(Hourglass);
    for (QWidget *widget : everywhere)
        EXPECT_EQ(widget->cursor().shape(), Qt::WaitCursor) << widget->objectName().toStdString();

    form->setMousePointer(CustomPointer);
    for (QWidget *widget : everywhere)
        EXPECT_EQ(widget->cursor().shape(), Qt::PointingHandCursor) << widget->objectName().toStdString();

    form->setMousePointer(DefaultPointer);
    for (QWidget *widget : everywhere)
        EXPECT_EQ(widget->cursor().shape(), Qt::ArrowCursor) << widget->objectName().toStdString();
}

TEST_F(PointerTest, TheCustomCodeShowsTheLoadedPointerOverTheControls)
{
    const QString path = putBesideProgram(QStringLiteral("HAND-M.CUR"), cursorFile(cursorBitmap()));
    form->setMouseIcon(drovanta::shell::loadCursorFile(path));
    form->setMousePointer(CustomPointer);

    for (QWidget *widget : {static_cast<QWidget *>(form->Combo1), static_cast<QWidget *>(form->Text1)}) {
        EXPECT_EQ(widget->cursor().shape(), Qt::BitmapCursor);
        EXPECT_EQ(widget->cursor().hotSpot(), QPoint(5, 9));
    }
}

TEST_F(PointerTest, MovingOverAButtonShowsTheCustomPointer)
{
    for (QPushButton *button : buttons()) {
        form->setMousePointer(DefaultPointer);
        moveMouse(button);
        EXPECT_EQ(form->MousePointer(), CustomPointer) << button->objectName().toStdString();
    }
}

TEST_F(PointerTest, MovingOverTheBackgroundOrAFrameShowsTheArrow)
{
    ASSERT_EQ(form->childAt(QPoint(100, 101)), nullptr);
    for (QGroupBox *frame : {form->Frame1, form->Frame2})
        ASSERT_EQ(frame->childAt(QPoint(5, 45)), nullptr);

    form->setMousePointer(CustomPointer);
    moveOverBackground();
    EXPECT_EQ(form->MousePointer(), DefaultPointer);

    for (QGroupBox *frame : {form->Frame1, form->Frame2}) {
        form->setMousePointer(CustomPointer);
        moveOverFrame(frame);
        EXPECT_EQ(form->MousePointer(), DefaultPointer) << frame->objectName().toStdString();
    }
}

TEST_F(PointerTest, MovingFromAButtonOntoAListOrTheProgressBarKeepsTheCustomPointer)
{
    for (QWidget *list : lists()) {
        moveMouse(form->PushButton2);
        ASSERT_EQ(form->MousePointer(), CustomPointer);
        moveMouse(list);
        moveMouse(list, QPoint(3, 3));
        EXPECT_EQ(form->MousePointer(), CustomPointer) << list->objectName().toStdString();
    }
}

TEST_F(PointerTest, MovingFromTheBackgroundOntoAListKeepsTheArrow)
{
    for (QWidget *list : lists()) {
        moveOverBackground();
        moveMouse(list);
        EXPECT_EQ(form->MousePointer(), DefaultPointer) << list->objectName().toStdString();
    }
}

TEST_F(PointerTest, DuringARunNoMoveReplacesTheHourglass)
{
    form->setMousePointer(Hourglass);

    for (QPushButton *button : buttons())
        moveMouse(button);
    moveOverBackground();
    moveOverFrame(form->Frame1);
    moveOverFrame(form->Frame2);
    for (QWidget *list : lists())
        moveMouse(list);

    EXPECT_EQ(form->MousePointer(), Hourglass);
    EXPECT_EQ(form->PushButton1->cursor().shape(), Qt::WaitCursor);
}

TEST_F(PointerTest, ACodeSetWhileTheMouseRestsOnAButtonHoldsUntilTheNextMove)
{
    moveMouse(form->PushButton1);
    ASSERT_EQ(form->MousePointer(), CustomPointer);

    form->setMousePointer(DefaultPointer);
    QCoreApplication::processEvents();
    EXPECT_EQ(form->MousePointer(), DefaultPointer);
    EXPECT_EQ(form->PushButton1->cursor().shape(), Qt::ArrowCursor);

    moveMouse(form->PushButton1, QPoint(20, 10));
    EXPECT_EQ(form->MousePointer(), CustomPointer);
}
