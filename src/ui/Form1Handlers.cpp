// The main window's handlers for its drive lists and buttons: each hands the
// window's controls to the logic that decides what they show.
#include "ui/Form1.h"

#include "ui/DriveList.h"
#include "core/shell/ErrorBox.h"

#include "core/backup/BackupCommand.h"

#include "core/drives/ListDrives.h"

#include <QLineEdit>

namespace drovanta::shell {
namespace {

class ListChoices final : public drives::DriveChoices {
public:
    explicit ListChoices(DriveList &list) : m_list(list) {}
    void removeAll() override { m_list.removeAll(); }
    void addEntry(const std::string &text) override { m_list.addEntry(QString::fromStdString(text)); }
    int count() const override { return m_list.count(); }
    int currentIndex() const override { return m_list.currentIndex(); }
    std::string currentText() const override { return m_list.currentText().toStdString(); }
    void setListIndex(int position) override { m_list.setListIndex(position); }

private:
    DriveList &m_list;
};

class LineEditField final : public drives::TextField {
public:
    explicit LineEditField(QLineEdit &edit) : m_edit(edit) {}
    std::string text() const override { return m_edit.text().toStdString(); }
    void setText(const std::string &text) override { m_edit.setText(QString::fromStdString(text)); }

private:
    QLineEdit &m_edit;
};

// The source side (Combo1, its records, Text1) and the destination side
// (Combo2, its records, Text2) of the window.
class Panels final {
public:
    explicit Panels(Form1 &form)
        : m_list1(*form.Combo1), m_list2(*form.Combo2), m_path1(*form.Text1), m_path2(*form.Text2),
          source(m_list1, form.DriveRecords1.get(), m_path1), destination(m_list2, form.DriveRecords2.get(), m_path2)
    {
    }

private:
    ListChoices m_list1;
    ListChoices m_list2;
    LineEditField m_path1;
    LineEditField m_path2;

public:
    const drives::DrivePanel source;
    const drives::DrivePanel destination;
};

class BusyWindow final : public backup::BackupWindow {
public:
    explicit BusyWindow(Form1 &form) : m_form(form) {}
    void showBusy(bool busy) override { m_form.setMousePointer(busy ? Hourglass : DefaultPointer); }
    bool isActive() const override { return m_form.isActiveWindow(); }

private:
    Form1 &m_form;
};

} // namespace

void Form1::ListDrives()
{
    const Panels panels(*this);
    drives::ListDrives(panels.source, panels.destination);
}

void Form1::Combo1_Click()
{
    drives::sourceChosen(Panels(*this).source);
}

void Form1::Combo2_Click()
{
    drives::destinationChosen(Panels(*this).destination);
}

void Form1::PushButton2_Click()
{
    OnError on("in Drovanta2021/08/31.Form1.PushButton2_Click ");
    on.run(100, [this] { ListDrives(); });
}

void Form1::PushButton3_Click()
{
    OnError on("in Drovanta2021/08/31.Form1.PushButton3_Click ");
    on.run(100, [this] { ListDrives(); });
}

void Form1::PushButton1_Click()
{
    const Panels panels(*this);
    BusyWindow window(*this);
    backup::StartBackup(panels.source, panels.destination, window);
}

void Form1::PushButton4_Click()
{
    backup::StopBackup();
}

} // namespace drovanta::shell
