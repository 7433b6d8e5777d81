#pragma once

#include <QObject>
#include <QString>

class QWidget;

namespace drovanta::shell {

// The window's skin component. It has no visible area: it loads a skin file
// (a Qt style sheet in UTF-8) and applies it to a window.
class SkinFramework final : public QObject {
    Q_OBJECT

public:
    explicit SkinFramework(QObject *parent) : QObject(parent) {}

    // Throws Failure("Invalid skin file: <reason>") when the file cannot be
    // read, is not UTF-8 text or is not a style sheet.
    void loadSkin(const QString &path);
    void applyWindow(QWidget *window) const;
    const QString &styleSheet() const { return m_styleSheet; }

private:
    QString m_styleSheet;
};

} // namespace drovanta::shell
