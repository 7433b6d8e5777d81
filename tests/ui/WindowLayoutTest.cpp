#include "UiFixture.h"

#include "ui/DriveList.h"
#include "ui/SkinFramework.h"
#include "ui/TextProgressBar.h"

#include <QAccessible>
#include <QApplication>
#include <QDir>
#include <QImage>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>

#include <algorithm>

using drovanta::testing::UiTest;

namespace {

struct ControlRow {
    const char *name;
    const char *kind;
    const char *parent;
    QRect geometry;
    double pointSize; // 0: no font of its own to check
};

// The designed layout, in pixels (twips / 15, rounded).
const ControlRow layout[] = {
    {"Text1", "QLineEdit", "Form1", {8, 226, 298, 25}, 9},
    {"Frame2", "QGroupBox", "Form1", {272, 8, 256, 89}, 9},
    {"Combo2", "drovanta::shell::DriveList", "Frame2", {16, 20, 224, 23}, 9},
    {"Frame1", "QGroupBox", "Form1", {8, 8, 256, 89}, 9},
    {"Combo1", "drovanta::shell::DriveList", "Frame1", {16, 20, 224, 23}, 9},
    {"Text2", "QLineEdit", "Form1", {8, 232, 298, 25}, 9},
    {"PushButton3", "QPushButton", "Frame2", {16, 50, 224, 27}, 11.25},
    {"PushButton2", "QPushButton", "Frame1", {16, 50, 224, 27}, 11.25},
    {"PushButton1", "QPushButton", "Form1", {8, 105, 520, 27}, 11.25},
    {"ProgressBar1", "drovanta::shell::TextProgressBar", "Form1", {8, 173, 520, 27}, 0},
    {"PushButton4", "QPushButton", "Form1", {8, 139, 520, 27}, 11.25},
};

} // namespace

TEST_F(UiTest, EveryControlHasItsNameKindParentGeometryAndFont)
{
    EXPECT_EQ(form->size(), QSize(536, 208));
    EXPECT_EQ(form->minimumSize(), form->maximumSize());
    EXPECT_FALSE(form->windowFlags() & Qt::WindowMaximizeButtonHint);

    for (const auto &row : layout) {
        SCOPED_TRACE(row.name);
        auto *widget = form->findChild<QWidget *>(QLatin1String(row.name));
        ASSERT_NE(widget, nullptr);
        EXPECT_STREQ(widget->metaObject()->className(), row.kind);
        EXPECT_EQ(widget->parentWidget()->objectName(), QLatin1String(row.parent));
        EXPECT_EQ(widget->geometry(), row.geometry);
        if (row.pointSize > 0) {
            EXPECT_EQ(widget->font().family(), QStringLiteral("Arial"));
            EXPECT_DOUBLE_EQ(widget->font().pointSizeF(), row.pointSize);
            EXPECT_TRUE(widget->font().bold());
        }
    }
    auto *skin = form->findChild<drovanta::shell::SkinFramework *>(QStringLiteral("SkinFramework1"));
    EXPECT_NE(skin, nullptr);
}

TEST_F(UiTest, CaptionsAndTheProgressBarStartAsDesigned)
{
    EXPECT_EQ(form->Frame1->title(), QStringLiteral("Source (What drive to backup)"));
    EXPECT_EQ(form->Frame2->title(), QStringLiteral("Destination (Where to save)"));
    EXPECT_EQ(form->PushButton1->text(), QStringLiteral("Start Backup"));
    EXPECT_EQ(form->PushButton2->text(), QStringLiteral("Refresh"));
    EXPECT_EQ(form->PushButton3->text(), QStringLiteral("Refresh"));
    EXPECT_EQ(form->PushButton4->text(), QStringLiteral("Stop Backup"));
    EXPECT_EQ(form->ProgressBar1->text(), QStringLiteral("Progress Bar"));
    EXPECT_EQ(form->ProgressBar1->percent(), 0.0);
    EXPECT_EQ(form->ProgressBar1->minimum(), 0);
    EXPECT_EQ(form->ProgressBar1->maximum(), 100);
    EXPECT_EQ(form->palette().color(QPalette::Window), QColor(Qt::white));
    EXPECT_EQ(form->Frame1->palette().color(QPalette::Window), QColor(Qt::white));
    EXPECT_EQ(form->Combo1->count(), 0);
    EXPECT_TRUE(form->Text1->text().isEmpty());
}

TEST_F(UiTest, TheHiddenPathHoldersLieBelowTheClientArea)
{
    for (QWidget *holder : {static_cast<QWidget *>(form->Text1), static_cast<QWidget *>(form->Text2)})
        EXPECT_GE(holder->geometry().top(), form->height());
}

TEST_F(UiTest, TheKeyboardVisitsTheControlsInTheDesignedOrder)
{
    form->show();
    form->PushButton1->setFocus();
    QWidget *current = form->PushButton1;
    QStringList order{current->objectName()};
    for (int i = 0; i < 5; ++i) {
        current = current->nextInFocusChain();
        while (!(current->focusPolicy() & Qt::TabFocus) || !current->isVisible())
            current = current->nextInFocusChain();
        order << current->objectName();
    }
    EXPECT_EQ(order, (QStringList{QStringLiteral("PushButton1"), QStringLiteral("Combo1"), QStringLiteral("Combo2"),
                                  QStringLiteral("PushButton2"), QStringLiteral("PushButton3"),
                                  QStringLiteral("PushButton4")}));
}

// What a screen reader receives: the accessible interfaces the bridge reads,
// not the widgets' properties.
QString heardName(QObject *control)
{
    QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(control);
    return accessible ? accessible->text(QAccessible::Name) : QStringLiteral("<none>");
}

void collectTree(QAccessibleInterface *node, QList<QObject *> &objects)
{
    for (int i = 0; i < node->childCount(); ++i) {
        if (QAccessibleInterface *child = node->child(i)) {
            objects << child->object();
            collectTree(child, objects);
        }
    }
}

TEST_F(UiTest, ScreenReadersHearADistinctNameForEveryControlAndTheProgressText)
{
    // A list is heard by what it is for, not by the drive it shows.
    for (auto *list : {form->Combo1, form->Combo2}) {
        const QSignalBlocker quiet(list);
        list->addItem(QStringLiteral("Photos (/media/alex/Photos)"));
        list->setCurrentIndex(0);
    }
    form->show();

    EXPECT_EQ(heardName(form->Combo1), QStringLiteral("Source drive"));
    EXPECT_EQ(heardName(form->Combo2), QStringLiteral("Destination drive"));
    EXPECT_EQ(heardName(form->PushButton1), QStringLiteral("Start Backup"));
    EXPECT_EQ(heardName(form->PushButton4), QStringLiteral("Stop Backup"));
    EXPECT_EQ(heardName(form->PushButton2), QStringLiteral("Refresh source drives"));
    EXPECT_EQ(heardName(form->PushButton3), QStringLiteral("Refresh destination drives"));
    EXPECT_EQ(form->PushButton2->text(), QStringLiteral("Refresh"));
    form->ProgressBar1->setText(QStringLiteral("Copy folder Data"));
    EXPECT_EQ(QAccessible::queryAccessibleInterface(form->ProgressBar1)->text(QAccessible::Description),
              QStringLiteral("Copy folder Data"));
}

TEST_F(UiTest, TheHiddenPathFieldsAreReadOnlyAndOutsideTheAccessibilityTree)
{
    form->show();
    QList<QObject *> tree;
    collectTree(QAccessible::queryAccessibleInterface(form.get()), tree);

    EXPECT_TRUE(tree.contains(form->Combo1));
    for (QLineEdit *field : {form->Text1, form->Text2}) {
        EXPECT_TRUE(field->isReadOnly()) << field->objectName().toStdString();
        EXPECT_FALSE(tree.contains(field)) << field->objectName().toStdString();
    }
}

TEST_F(UiTest, OnADarkDesktopThemeTheFrameTitlesStayDarkOnWhite)
{
    const QPalette saved = QApplication::palette();
    QPalette dark(QColor(0x30, 0x30, 0x30), QColor(0x20, 0x20, 0x20));
    dark.setColor(QPalette::WindowText, QColor(0xee, 0xee, 0xee));
    dark.setColor(QPalette::Text, QColor(0xee, 0xee, 0xee));
    dark.setColor(QPalette::ButtonText, QColor(0xee, 0xee, 0xee));
    form.reset();
    QApplication::setPalette(dark);
    form = std::make_unique<drovanta::shell::Form1>();
    form->show();

    const QImage frame = form->Frame1->grab().toImage();
    QApplication::setPalette(saved);

    // The title sits in the frame's top rows: its darkest pixel is the text.
    int darkest = 255;
    for (int y = 0; y < 14 && y < frame.height(); ++y)
        for (int x = 0; x < frame.width() / 2; ++x)
            darkest = std::min(darkest, qGray(frame.pixel(x, y)));
    EXPECT_LT(darkest, 90) << "the title is not dark";
    EXPECT_GE(qGray(frame.pixel(frame.width() - 8, frame.height() / 2)), 245) << "the frame is not white";
}

TEST_F(UiTest, AScreenshotOfTheWindowIsWrittenForPeopleToLookAt)
{
    form->Form_Load();
    form->show();
    const QPixmap shot = form->grab();
    EXPECT_EQ(shot.size() / shot.devicePixelRatio(), QSize(536, 208));
    EXPECT_TRUE(shot.save(QDir::current().filePath(QStringLiteral("window.png"))));
}
