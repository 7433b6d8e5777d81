#include "platform/linux/MountInfo.h"

#include "platform/Failure.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <sstream>

namespace drovanta::platform {

namespace {

bool isOctalDigit(char c)
{
    return c >= '0' && c <= '7';
}

bool parseNumber(std::string_view text, unsigned &value)
{
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc{} && end == text.data() + text.size();
}

bool parseDeviceNumber(std::string_view text, unsigned &major, unsigned &minor)
{
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos)
        return false;
    return parseNumber(text.substr(0, colon), major) && parseNumber(text.substr(colon + 1), minor);
}

} // namespace

std::vector<std::string_view> mountFields(std::string_view line)
{
    std::vector<std::string_view> fields;
    std::size_t start = 0;
    while (start < line.size()) {
        const std::size_t begin = line.find_first_not_of(" \t", start);
        if (begin == std::string_view::npos)
            break;
        const std::size_t end = std::min(line.find_first_of(" \t", begin), line.size());
        fields.push_back(line.substr(begin, end - begin));
        start = end;
    }
    return fields;
}

std::string decodeMountField(std::string_view field)
{
    std::string decoded;
    decoded.reserve(field.size());
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && isOctalDigit(field[i + 1])
            && isOctalDigit(field[i + 2]) && isOctalDigit(field[i + 3])) {
            const int value = (field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0');
            if (value <= 0xff) {
                decoded.push_back(static_cast<char>(value));
                i += 3;
                continue;
            }
        }
        decoded.push_back(field[i]);
    }
    return decoded;
}

bool hasMountOption(std::string_view options, std::string_view option)
{
    std::size_t start = 0;
    while (start <= options.size()) {
        std::size_t end = options.find(',', start);
        if (end == std::string_view::npos)
            end = options.size();
        const std::string_view item = options.substr(start, end - start);
        if (item == option || (item.size() > option.size() && item.starts_with(option) && item[option.size()] == '='))
            return true;
        start = end + 1;
    }
    return false;
}

std::vector<MountEntry> parseMountInfo(std::string_view text)
{
    std::vector<MountEntry> entries;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos)
            end = text.size();
        const auto fields = mountFields(text.substr(start, end - start));
        start = end + 1;

        // id parent major:minor root mount-point options [optional...] - type source super-options
        if (fields.size() < 10)
            continue;
        std::size_t separator = 6;
        while (separator < fields.size() && fields[separator] != "-")
            ++separator;
        if (separator + 3 > fields.size())
            continue;

        MountEntry entry;
        if (!parseNumber(fields[0], entry.id) || !parseDeviceNumber(fields[2], entry.major, entry.minor))
            continue;
        entry.root = decodeMountField(fields[3]);
        entry.mountPoint = decodeMountField(fields[4]);
        entry.options = decodeMountField(fields[5]);
        entry.fsType = decodeMountField(fields[separator + 1]);
        entry.source = decodeMountField(fields[separator + 2]);
        if (separator + 3 < fields.size())
            entry.superOptions = decodeMountField(fields[separator + 3]);
        entries.push_back(std::move(entry));
    }
    return entries;
}

std::vector<MountEntry> readMountInfo(const std::filesystem::path &path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        const int error = errno;
        throw Failure("Cannot read the mount table " + path.string() + ": " + std::strerror(error));
    }
    std::ostringstream text;
    text << file.rdbuf();
    if (file.bad())
        throw Failure("Cannot read the mount table " + path.string());
    return parseMountInfo(text.str());
}

} // namespace drovanta::platform
