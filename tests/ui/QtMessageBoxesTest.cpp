#include "UiFixture.h"

#include "platform/qt/QtMessageBoxes.h"

#include <QApplication>
#include <QMessageBox>
#include <QTimer>

namespace {

// Shows `box` through the real implementation and reads the dialog as the
// user would see it, then dismisses it.
struct SeenBox {
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QString details;
    Qt::WindowModality modality = Qt::NonModal;
};

SeenBox showAndRead(const drovanta::platform::MessageBox &box, drovanta::testing::FakeApplication &application)
{
    SeenBox seen;
    QTimer::singleShot(0, [&] {
        auto *dialog = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        seen = {dialog->windowTitle(), dialog->text(), dialog->icon(), dialog->detailedText(),
                dialog->windowModality()};
        dialog->accept();
    });
    drovanta::platform::QtMessageBoxes boxes(application);
    boxes.show(box);
    return seen;
}

} // namespace

TEST(QtMessageBoxes, TheErrorBoxShowsItsOwnCaptionAWarningAndTheReportAsLines)
{
    drovanta::testing::FakeApplication application;
    const SeenBox seen = showAndRead({"Application Error", "Overflow\r\nin X at line 140\r\rPlease email", 
                                      drovanta::platform::BoxIcon::Warning, ""},
                                     application);
    EXPECT_EQ(seen.title, QStringLiteral("Application Error"));
    EXPECT_EQ(seen.icon, QMessageBox::Warning);
    EXPECT_EQ(seen.text, QStringLiteral("Overflow\nin X at line 140\n\nPlease email"));
    EXPECT_EQ(seen.modality, Qt::ApplicationModal);
}

TEST(QtMessageBoxes, AMessageWithoutCaptionShowsTheApplicationTitleAndItsDetails)
{
    drovanta::testing::FakeApplication application;
    application.appTitle = "Drovanta";
    const SeenBox seen = showAndRead({"", "Done.", drovanta::platform::BoxIcon::None, "a: read: Input/output error\n"},
                                     application);
    EXPECT_EQ(seen.title, QStringLiteral("Drovanta"));
    EXPECT_EQ(seen.icon, QMessageBox::NoIcon);
    EXPECT_EQ(seen.text, QStringLiteral("Done."));
    EXPECT_EQ(seen.details, QStringLiteral("a: read: Input/output error\n"));
}
