#include "ui/Accessibility.h"

#include "ui/DriveList.h"
#include "ui/Form1.h"

#include <QAbstractItemView>
#include <QAccessible>
#include <QAccessibleWidget>
#include <QVariant>

namespace drovanta::shell {
namespace {

const char *const hiddenProperty = "drovantaHiddenFromScreenReaders";

// A drive list heard by what it is for ("Source drive"), its entry as its
// value, and its entries as its one child, as Qt's own list offers them.
class DriveListAccessible final : public QAccessibleWidget {
public:
    explicit DriveListAccessible(DriveList *list) : QAccessibleWidget(list, QAccessible::ComboBox) {}

    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Name && !list()->accessibleName().isEmpty())
            return list()->accessibleName();
        if (t == QAccessible::Name || t == QAccessible::Value)
            return list()->currentText();
        return QAccessibleWidget::text(t);
    }
    int childCount() const override { return 1; }
    QAccessibleInterface *child(int index) const override
    {
        return index == 0 ? QAccessible::queryAccessibleInterface(list()->view()) : nullptr;
    }
    int indexOfChild(const QAccessibleInterface *child) const override
    {
        return child && child->object() == list()->view() ? 0 : -1;
    }
    QStringList actionNames() const override
    {
        return QStringList{showMenuAction(), pressAction()} + QAccessibleWidget::actionNames();
    }
    void doAction(const QString &action) override
    {
        if (action == showMenuAction() || action == pressAction()) {
            if (list()->view()->isVisible())
                list()->hidePopup();
            else
                list()->showPopup();
            return;
        }
        QAccessibleWidget::doAction(action);
    }

private:
    DriveList *list() const { return static_cast<DriveList *>(widget()); }
};

// The window without the children hidden from screen readers.
class WindowAccessible final : public QAccessibleWidget {
public:
    explicit WindowAccessible(QWidget *window) : QAccessibleWidget(window, QAccessible::Window) {}

    int childCount() const override { return static_cast<int>(heard().size()); }
    QAccessibleInterface *child(int index) const override
    {
        const QList<QWidget *> children = heard();
        return index >= 0 && index < children.size() ? QAccessible::queryAccessibleInterface(children[index])
                                                     : nullptr;
    }
    int indexOfChild(const QAccessibleInterface *child) const override
    {
        if (!child)
            return -1;
        return static_cast<int>(heard().indexOf(qobject_cast<QWidget *>(child->object())));
    }

private:
    QList<QWidget *> heard() const
    {
        QList<QWidget *> children;
        for (QObject *object : widget()->children()) {
            auto *child = qobject_cast<QWidget *>(object);
            if (child && !child->isWindow() && !child->property(hiddenProperty).toBool())
                children << child;
        }
        return children;
    }
};

QAccessibleInterface *interfaceFor(const QString &className, QObject *object)
{
    if (className == QLatin1String(DriveList::staticMetaObject.className()))
        return new DriveListAccessible(static_cast<DriveList *>(object));
    if (className == QLatin1String(Form1::staticMetaObject.className()))
        return new WindowAccessible(static_cast<QWidget *>(object));
    return nullptr;
}

} // namespace

void installAccessibility()
{
    static const bool installed = [] {
        QAccessible::installFactory(interfaceFor);
        return true;
    }();
    (void)installed;
}

void hideFromScreenReaders(QWidget *widget)
{
    widget->setProperty(hiddenProperty, true);
}

} // namespace drovanta::shell
