#pragma once

#include <QCursor>
#include <QIcon>
#include <QString>

namespace drovanta::shell {

// The window icon shipped with the program.
QIcon applicationIcon();

// Loads a cursor file as a pointer. Throws Failure when it is not a readable cursor.
QCursor loadCursorFile(const QString &path);

} // namespace drovanta::shell
