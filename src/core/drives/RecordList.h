#pragma once

#include "platform/DriveSource.h"

#include <string>
#include <vector>

namespace drovanta::drives {

// An ordered list of drive records, addressed from 1 like the lists it pairs
// with: the list entry at position p has its record at position p + 1.
// Beside each record it keeps the identity of the drive as it was listed.
class RecordList final {
public:
    void add(const std::string &record, platform::DriveIdentity identity = {});
    void clear();
    int count() const { return static_cast<int>(m_records.size()); }
    // Both throw Failure("Subscript out of range") outside 1..count().
    const std::string &item(int position) const;
    const platform::DriveIdentity &identity(int position) const;
    // The first position (from 1) whose drive has the volume identity
    // `volume`; 0 when no listed drive has it.
    int find(const std::string &volume) const;

private:
    std::vector<std::string> m_records;
    std::vector<platform::DriveIdentity> m_identities;
};

} // namespace drovanta::drives
