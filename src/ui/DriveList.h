#pragma once

#include <QComboBox>

#include <exception>
#include <functional>

namespace drovanta::shell {

// A pick-only drop-down list. Unlike a plain QComboBox it selects nothing by
// itself when entries are appended, and it refuses a position outside
// -1..count-1 instead of silently ignoring it.
class DriveList final : public QComboBox {
    Q_OBJECT

public:
    explicit DriveList(QWidget *parent);

    // Appends an entry; the selected position stays as it was.
    void addEntry(const QString &text);
    // Removes every entry without running the selection handling.
    void removeAll();
    // Makes `position` the selected one (-1: none); throws Failure("Invalid
    // property value") for any other position. A change of position emits
    // currentIndexChanged, which runs the list's selection handling.
    void setListIndex(int position);

    // Runs the list's selection handling for a change of position. A failure
    // inside it goes up to whoever set the position (setListIndex rethrows
    // it, so that handler's error box reports it); for the user's own choice
    // nobody above handles it, and the last-resort report shows it.
    void runSelectionHandling(const std::function<void()> &handling);

    void showPopup() override;

signals:
    // The user chose the entry that was already selected: the position did
    // not change, but the choice was made again.
    void sameEntryChosen();

private:
    bool m_changedSinceShown = false;
    bool m_settingIndex = false;
    std::exception_ptr m_pendingFailure;
};

} // namespace drovanta::shell
