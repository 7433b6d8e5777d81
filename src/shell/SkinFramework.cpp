#include "shell/SkinFramework.h"

#include "platform/Failure.h"

#include <QFile>
#include <QWidget>

namespace drovanta::shell {

void SkinFramework::loadSkin(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw Failure("Invalid skin file: " + file.errorString().toStdString());
    m_styleSheet = QString::fromUtf8(file.readAll());
}

void SkinFramework::applyWindow(QWidget *window) const
{
    window->setStyleSheet(m_styleSheet);
}

} // namespace drovanta::shell
