#include "platform/qt/QtMessageBoxes.h"

#include "platform/Application.h"

#include <QApplication>
#include <QMessageBox>

namespace drovanta::platform {

void QtMessageBoxes::show(const MessageBox &box)
{
    (void)exec(box, false);
}

bool QtMessageBoxes::ask(const MessageBox &box)
{
    return exec(box, true);
}

bool QtMessageBoxes::exec(const MessageBox &box, bool question)
{
    QMessageBox dialog(QApplication::activeWindow());
    dialog.setWindowModality(Qt::ApplicationModal);
    const std::string &caption = box.caption.empty() ? m_application.title() : box.caption;
    dialog.setWindowTitle(QString::fromStdString(caption));
    // Bare carriage returns are line breaks to the user; the text itself is
    // kept as given.
    QString text = QString::fromStdString(box.text);
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    dialog.setText(text);
    dialog.setTextFormat(Qt::PlainText);
    switch (box.icon) {
    case BoxIcon::None:
        dialog.setIcon(QMessageBox::NoIcon);
        break;
    case BoxIcon::Information:
        dialog.setIcon(QMessageBox::Information);
        break;
    case BoxIcon::Warning:
        dialog.setIcon(QMessageBox::Warning);
        break;
    case BoxIcon::Question:
        dialog.setIcon(QMessageBox::Question);
        break;
    }
    if (!box.details.empty())
        dialog.setDetailedText(QString::fromStdString(box.details));
    if (question) {
        dialog.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        dialog.setDefaultButton(QMessageBox::No);
    } else {
        dialog.setStandardButtons(QMessageBox::Ok);
    }
    return dialog.exec() == QMessageBox::Yes;
}

} // namespace drovanta::platform
