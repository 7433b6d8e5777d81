#include "core/drives/DriveRecord.h"

#include "platform/Failure.h"

#include <cstdio>
#include <string_view>

namespace drovanta::drives {

std::string makeRecord(const std::string &letter, const std::string &name, std::uint64_t availableBytes)
{
    return letter + recordSeparator + name + recordSeparator + std::to_string(availableBytes);
}

std::vector<std::string> splitRecord(const std::string &record)
{
    const std::string_view separator = recordSeparator;
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
        const std::size_t at = record.find(separator, start);
        if (at == std::string::npos) {
            fields.push_back(record.substr(start));
            return fields;
        }
        fields.push_back(record.substr(start, at - start));
        start = at + separator.size();
    }
}

const std::string &recordField(const std::vector<std::string> &fields, int index)
{
    if (index < 0 || static_cast<std::size_t>(index) >= fields.size())
        throw Failure("Subscript out of range");
    return fields[static_cast<std::size_t>(index)];
}

std::string entryText(const std::string &name, const std::string &letter, PathStyle style)
{
    if (style == PathStyle::Windows)
        return name + " (" + letter + ":)";
    return name + " (" + letter + ")";
}

std::string rootPath(const std::string &letter, PathStyle style)
{
    if (style == PathStyle::Windows)
        return letter + ":\\";
    return letter.ends_with('/') ? letter : letter + '/';
}

std::string backupFolderPath(const std::string &letter, const platform::LocalDate &date, PathStyle style)
{
    return rootPath(letter, style) + "Backup " + dateText(date);
}

std::string dateText(const platform::LocalDate &date)
{
    char text[32];
    std::snprintf(text, sizeof text, "%02d-%02d-%04d", static_cast<int>(date.month), static_cast<int>(date.day),
                  static_cast<int>(date.year));
    return text;
}

} // namespace drovanta::drives
