#include "ui/DriveList.h"

#include "core/shell/ErrorBox.h"

#include "platform/Failure.h"

#include <QSignalBlocker>

#include <utility>

namespace drovanta::shell {

DriveList::DriveList(QWidget *parent) : QComboBox(parent)
{
    setEditable(false);
    setInsertPolicy(QComboBox::NoInsert);
    // A choice that changes the position arrives as a change first and then
    // as an activation; one that does not change it only as an activation.
    connect(this, &QComboBox::currentIndexChanged, this, [this] { m_changedSinceShown = true; });
    connect(this, &QComboBox::activated, this, [this] {
        if (!std::exchange(m_changedSinceShown, false))
            emit sameEntryChosen();
    });
}

void DriveList::showPopup()
{
    m_changedSinceShown = false;
    QComboBox::showPopup();
}

void DriveList::addEntry(const QString &text)
{
    const int before = currentIndex();
    const QSignalBlocker blocker(this);
    addItem(text);
    // QComboBox selects the first entry appended to an empty list.
    if (currentIndex() != before)
        setCurrentIndex(before);
}

void DriveList::removeAll()
{
    const QSignalBlocker blocker(this);
    clear();
}

void DriveList::setListIndex(int position)
{
    if (position < -1 || position >= count())
        throw Failure("Invalid property value");
    m_settingIndex = true;
    m_pendingFailure = nullptr;
    setCurrentIndex(position);
    m_settingIndex = false;
    if (m_pendingFailure)
        std::rethrow_exception(std::exchange(m_pendingFailure, nullptr));
}

void DriveList::runSelectionHandling(const std::function<void()> &handling)
{
    try {
        handling();
    } catch (...) {
        if (m_settingIndex)
            m_pendingFailure = std::current_exception();
        else
            reportUnhandledFailure();
    }
}

} // namespace drovanta::shell
