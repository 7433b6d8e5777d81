#pragma once

#include "core/drives/RecordList.h"

#include <QCursor>
#include <QWidget>

#include <memory>
#include <optional>

class QGroupBox;
class QLineEdit;
class QPushButton;

namespace drovanta::shell {

class DriveList;
class SkinFramework;
class TextProgressBar;

// Pointer codes of the main window.
enum PointerCode : int {
    DefaultPointer = 0,
    Hourglass = 11,
    CustomPointer = 99,
};

// The main window: one instance for the whole run, reached from every module
// through Form1::instance(). Its controls keep the names they are known by
// throughout the program. Start-up, close and pointer handling are its own
// (Form1Lifecycle.cpp, Form1.cpp); the drive lists' and buttons' handlers
// (Form1Handlers.cpp) hand the controls to the logic in drives/ and backup/,
// which decides what they show.
class Form1 final : public QWidget {
    Q_OBJECT

public:
    Form1();
    ~Form1() override;
    Q_DISABLE_COPY_MOVE(Form1)

    // The one main window. Only valid while it exists.
    static Form1 &instance();
    static bool exists();

    // Controls, in creation order.
    QLineEdit *Text1 = nullptr;
    QGroupBox *Frame2 = nullptr;
    DriveList *Combo2 = nullptr;
    QGroupBox *Frame1 = nullptr;
    DriveList *Combo1 = nullptr;
    QLineEdit *Text2 = nullptr;
    QPushButton *PushButton3 = nullptr;
    QPushButton *PushButton2 = nullptr;
    QPushButton *PushButton1 = nullptr;
    TextProgressBar *ProgressBar1 = nullptr;
    QPushButton *PushButton4 = nullptr;
    SkinFramework *SkinFramework1 = nullptr;

    // Drive records paired with Combo1 and Combo2; created by Form_Load,
    // released by Form_QueryUnload.
    std::unique_ptr<drives::RecordList> DriveRecords1;
    std::unique_ptr<drives::RecordList> DriveRecords2;

    // Start-up and close.
    void Form_Load();
    void Form_QueryUnload();
    void Form_Unload();

    // Drive lists.
    void ListDrives();
    void Combo1_Click();
    void Combo2_Click();
    void PushButton2_Click();
    void PushButton3_Click();

    // Backup command.
    void PushButton1_Click();
    void PushButton4_Click();

    // Pointer: the code decides what the window and its controls show.
    int MousePointer() const { return m_mousePointer; }
    void setMousePointer(int code);
    // The custom pointer image shown under code 99.
    const std::optional<QCursor> &MouseIcon() const { return m_mouseIcon; }
    void setMouseIcon(const QCursor &cursor);

    // Mouse-move handlers.
    void Form_MouseMove();
    void Frame1_MouseMove();
    void Frame2_MouseMove();
    void PushButton1_MouseMove();
    void PushButton2_MouseMove();
    void PushButton3_MouseMove();
    void PushButton4_MouseMove();

    // Repaints the window at once.
    void Refresh();

protected:
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;

private:
    void createControls();
    void applyPointer();

    int m_mousePointer = DefaultPointer;
    std::optional<QCursor> m_mouseIcon;
};

} // namespace drovanta::shell
