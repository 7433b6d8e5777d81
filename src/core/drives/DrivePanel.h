#pragma once

#include "core/drives/RecordList.h"

#include "platform/Failure.h"

#include <string>

namespace drovanta::drives {

// A drive list as the drive and backup logic see it: the window's drop-down
// list, or a test's.
class DriveChoices {
public:
    // Removes every entry without running the selection handling.
    virtual void removeAll() = 0;
    // Appends an entry; the selected position stays as it was.
    virtual void addEntry(const std::string &text) = 0;
    virtual int count() const = 0;
    // The selected position, from 0; -1 when nothing is selected.
    virtual int currentIndex() const = 0;
    // The selected entry's text; empty when nothing is selected.
    virtual std::string currentText() const = 0;
    // Selects `position` (-1: none) and runs the list's selection handling
    // when the position changes; throws Failure("Invalid property value")
    // for a position outside -1..count()-1.
    virtual void setListIndex(int position) = 0;

protected:
    ~DriveChoices() = default;
};

// A one-line text field: the path of the chosen source, or the backup folder.
class TextField {
public:
    virtual std::string text() const = 0;
    virtual void setText(const std::string &text) = 0;

protected:
    ~TextField() = default;
};

// One side of the window: the drive list, the records paired with it (held
// by the window, released when it closes) and the path field below it.
class DrivePanel final {
public:
    DrivePanel(DriveChoices &list, RecordList *records, TextField &path)
        : m_list(list), m_records(records), m_path(path)
    {
    }

    DriveChoices &list() const { return m_list; }
    // Throws when the window holds no records (before it has loaded, after
    // it has closed), as any use of a released object does.
    RecordList &records() const
    {
        if (m_records == nullptr)
            throw Failure("Object variable or With block variable not set");
        return *m_records;
    }
    TextField &path() const { return m_path; }

private:
    DriveChoices &m_list;
    RecordList *m_records;
    TextField &m_path;
};

} // namespace drovanta::drives
