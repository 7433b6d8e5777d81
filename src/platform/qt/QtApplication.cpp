#include "platform/qt/QtApplication.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <cstdio>
#include <cstdlib>

namespace drovanta::platform {

std::string QtApplication::programFolder() const
{
    return QDir::toNativeSeparators(QCoreApplication::applicationDirPath()).toStdString();
}

std::string QtApplication::title() const
{
    if (m_title.empty())
        return QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName().toStdString();
    return m_title;
}

void QtApplication::setTitle(const std::string &title)
{
    m_title = title;
}

void QtApplication::exitNow(int code)
{
    // No handler, destructor or event loop may run any more: a close in the
    // middle of a backup ends the process where it stands. Settings are
    // written as they change, so nothing is lost.
    std::fflush(nullptr);
    std::_Exit(code);
}

} // namespace drovanta::platform
