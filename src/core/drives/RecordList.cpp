#include "core/drives/RecordList.h"

#include "platform/Failure.h"

namespace drovanta::drives {

namespace {

void checkPosition(int position, int count)
{
    if (position < 1 || position > count)
        throw Failure("Subscript out of range");
}

} // namespace

void RecordList::add(const std::string &record, platform::DriveIdentity identity)
{
    m_records.push_back(record);
    m_identities.push_back(std::move(identity));
}

void RecordList::clear()
{
    m_records.clear();
    m_identities.clear();
}

const std::string &RecordList::item(int position) const
{
    checkPosition(position, count());
    return m_records.at(static_cast<std::size_t>(position - 1));
}

const platform::DriveIdentity &RecordList::identity(int position) const
{
    checkPosition(position, count());
    return m_identities.at(static_cast<std::size_t>(position - 1));
}

int RecordList::find(const std::string &volume) const
{
    for (std::size_t i = 0; i < m_identities.size(); ++i) {
        if (!volume.empty() && m_identities[i].volume == volume)
            return static_cast<int>(i) + 1;
    }
    return 0;
}

} // namespace drovanta::drives
