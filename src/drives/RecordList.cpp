#include "drives/RecordList.h"

#include "platform/Failure.h"

namespace drovanta::drives {

const QString &RecordList::item(int position) const
{
    if (position < 1 || position > count())
        throw Failure("Subscript out of range");
    return m_records.at(position - 1);
}

} // namespace drovanta::drives
