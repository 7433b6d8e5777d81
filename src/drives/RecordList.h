#pragma once

#include <QString>
#include <QStringList>

namespace drovanta::drives {

// An ordered list of drive records, addressed from 1 like the lists it pairs
// with: the list entry at position p has its record at position p + 1.
class RecordList final {
public:
    void add(const QString &record) { m_records.append(record); }
    void clear() { m_records.clear(); }
    int count() const { return static_cast<int>(m_records.size()); }
    // Throws Failure("Subscript out of range") outside 1..count().
    const QString &item(int position) const;

private:
    QStringList m_records;
};

} // namespace drovanta::drives
