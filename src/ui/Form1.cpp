#include "ui/Form1.h"

#include "ui/Accessibility.h"

#include "ui/DriveList.h"
#include "ui/SkinFramework.h"
#include "ui/TextProgressBar.h"
#include "ui/WindowCopyDisplay.h"

#include <QCloseEvent>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>

#include <cmath>

namespace drovanta::shell {
namespace {

Form1 *theInstance = nullptr;

// The window is designed in twips; 15 twips make a pixel at 96 dots per inch.
int px(int twips)
{
    return static_cast<int>(std::lround(twips / 15.0));
}

void place(QWidget *widget, int left, int top, int width, int height)
{
    widget->setGeometry(px(left), px(top), px(width), px(height));
}

QFont windowFont()
{
    QFont font(QStringLiteral("Arial"));
    font.setPointSizeF(9);
    font.setBold(true);
    return font;
}

QFont buttonFont()
{
    QFont font(QStringLiteral("Arial"));
    font.setPointSizeF(11.25);
    font.setBold(true);
    return font;
}

// The window is designed as dark text on white. A desktop with a dark theme
// hands every widget light text, which would vanish on the white; so the
// window keeps a light palette of its own whatever the theme (a skin, when
// present, still decides its own colours).
void pinLightColours(QWidget *window)
{
    QPalette palette = window->palette();
    for (const auto group : {QPalette::Active, QPalette::Inactive}) {
        palette.setColor(group, QPalette::WindowText, Qt::black);
        palette.setColor(group, QPalette::Text, Qt::black);
        palette.setColor(group, QPalette::ButtonText, Qt::black);
        palette.setColor(group, QPalette::Base, Qt::white);
        palette.setColor(group, QPalette::AlternateBase, QColor(0xf5, 0xf5, 0xf5));
        palette.setColor(group, QPalette::Button, QColor(0xf0, 0xf0, 0xf0));
        palette.setColor(group, QPalette::Light, Qt::white);
        palette.setColor(group, QPalette::Midlight, QColor(0xe3, 0xe3, 0xe3));
        palette.setColor(group, QPalette::Mid, QColor(0xa0, 0xa0, 0xa0));
        palette.setColor(group, QPalette::Dark, QColor(0x80, 0x80, 0x80));
        palette.setColor(group, QPalette::Shadow, QColor(0x40, 0x40, 0x40));
        palette.setColor(group, QPalette::ToolTipBase, QColor(0xff, 0xff, 0xdc));
        palette.setColor(group, QPalette::ToolTipText, Qt::black);
        palette.setColor(group, QPalette::PlaceholderText, QColor(0x80, 0x80, 0x80));
    }
    palette.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0x80, 0x80, 0x80));
    palette.setColor(QPalette::Disabled, QPalette::Text, QColor(0x80, 0x80, 0x80));
    palette.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(0x80, 0x80, 0x80));
    palette.setColor(QPalette::Disabled, QPalette::Base, QColor(0xf0, 0xf0, 0xf0));
    palette.setColor(QPalette::Disabled, QPalette::Button, QColor(0xf0, 0xf0, 0xf0));
    window->setPalette(palette);
}

void paintWhite(QWidget *widget)
{
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Window, Qt::white);
    widget->setPalette(palette);
    widget->setAutoFillBackground(true);
}

template<typename Widget, typename... Args>
Widget *make(const char *name, Args &&...args)
{
    auto *widget = new Widget(std::forward<Args>(args)...);
    widget->setObjectName(QLatin1String(name));
    return widget;
}

} // namespace

Form1::Form1()
{
    Q_ASSERT(!theInstance);
    theInstance = this;
    backup::setFrontEndCopyDisplay(&windowCopyDisplay());
    installAccessibility();
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Form1"));
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setFont(windowFont());
    pinLightColours(this);
    paintWhite(this);
    setFixedSize(536, 208);
    createControls();
    setMouseTracking(true);

    if (const QScreen *screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

Form1::~Form1()
{
    backup::setFrontEndCopyDisplay(nullptr);
    theInstance = nullptr;
}

Form1 &Form1::instance()
{
    Q_ASSERT(theInstance);
    return *theInstance;
}

bool Form1::exists()
{
    return theInstance != nullptr;
}

void Form1::createControls()
{
    Text1 = make<QLineEdit>("Text1", this);
    place(Text1, 120, 3390, 4470, 375);

    Frame2 = make<QGroupBox>("Frame2", QStringLiteral("Destination (Where to save)"), this);
    place(Frame2, 4080, 120, 3840, 1335);
    paintWhite(Frame2);

    Combo2 = make<DriveList>("Combo2", Frame2);
    place(Combo2, 240, 300, 3360, 345);

    Frame1 = make<QGroupBox>("Frame1", QStringLiteral("Source (What drive to backup)"), this);
    place(Frame1, 120, 120, 3840, 1335);
    paintWhite(Frame1);

    Combo1 = make<DriveList>("Combo1", Frame1);
    place(Combo1, 240, 300, 3360, 345);

    Text2 = make<QLineEdit>("Text2", this);
    place(Text2, 120, 3480, 4470, 375);

    PushButton3 = make<QPushButton>("PushButton3", QStringLiteral("Refresh"), Frame2);
    place(PushButton3, 240, 750, 3360, 405);

    PushButton2 = make<QPushButton>("PushButton2", QStringLiteral("Refresh"), Frame1);
    place(PushButton2, 240, 750, 3360, 405);

    PushButton1 = make<QPushButton>("PushButton1", QStringLiteral("Start Backup"), this);
    place(PushButton1, 120, 1570, 7800, 405);

    ProgressBar1 = make<TextProgressBar>("ProgressBar1", this);
    place(ProgressBar1, 120, 2600, 7800, 405);
    ProgressBar1->setPercent(0);
    ProgressBar1->setText(QStringLiteral("Progress Bar"));

    PushButton4 = make<QPushButton>("PushButton4", QStringLiteral("Stop Backup"), this);
    place(PushButton4, 120, 2080, 7800, 405);

    SkinFramework1 = make<SkinFramework>("SkinFramework1", this);

    for (QPushButton *button : {PushButton1, PushButton2, PushButton3, PushButton4}) {
        button->setFont(buttonFont());
        button->setAccessibleName(button->text());
        button->setAutoDefault(false);
    }
    ProgressBar1->setAccessibleName(QStringLiteral("Progress"));
    // Both Refresh buttons read "Refresh"; a screen reader needs to tell
    // them apart, and the lists need names of their own.
    PushButton2->setAccessibleName(QStringLiteral("Refresh source drives"));
    PushButton3->setAccessibleName(QStringLiteral("Refresh destination drives"));
    Combo1->setAccessibleName(QStringLiteral("Source drive"));
    Combo2->setAccessibleName(QStringLiteral("Destination drive"));
    Text1->setAccessibleName(QStringLiteral("Source path"));
    Text2->setAccessibleName(QStringLiteral("Backup folder path"));

    // The two path holders lie below the client area and are never seen, so
    // neither the keyboard nor a screen reader takes the user there, and
    // nothing but the program writes them.
    for (QLineEdit *holder : {Text1, Text2}) {
        holder->setFocusPolicy(Qt::NoFocus);
        holder->setReadOnly(true);
        hideFromScreenReaders(holder);
    }
    ProgressBar1->setFocusPolicy(Qt::NoFocus);
    setTabOrder(PushButton1, Combo1);
    setTabOrder(Combo1, Combo2);
    setTabOrder(Combo2, PushButton2);
    setTabOrder(PushButton2, PushButton3);
    setTabOrder(PushButton3, PushButton4);

    // One run of the selection handling per change of position: a pick-only
    // list changes its text only with its position, so the text signal is
    // not connected as well.
    connect(Combo1, &QComboBox::currentIndexChanged, this,
            [this] { Combo1->runSelectionHandling([this] { Combo1_Click(); }); });
    connect(Combo2, &QComboBox::currentIndexChanged, this,
            [this] { Combo2->runSelectionHandling([this] { Combo2_Click(); }); });
    // Choosing the destination again renews the date of its backup folder.
    connect(Combo2, &DriveList::sameEntryChosen, this,
            [this] { Combo2->runSelectionHandling([this] { Combo2_Click(); }); });
    connect(PushButton1, &QPushButton::clicked, this, [this] { PushButton1_Click(); });
    connect(PushButton2, &QPushButton::clicked, this, [this] { PushButton2_Click(); });
    connect(PushButton3, &QPushButton::clicked, this, [this] { PushButton3_Click(); });
    connect(PushButton4, &QPushButton::clicked, this, [this] { PushButton4_Click(); });

    for (QWidget *watched : std::initializer_list<QWidget *>{Frame1, Frame2, PushButton1, PushButton2, PushButton3,
                                                             PushButton4}) {
        watched->setMouseTracking(true);
        watched->installEventFilter(this);
    }
}

void Form1::Refresh()
{
    repaint();
}

void Form1::closeEvent(QCloseEvent *event)
{
    Form_QueryUnload();
    event->accept();
    Form_Unload();
}

} // namespace drovanta::shell
