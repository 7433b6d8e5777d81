#include "cli/TextColumns.h"

namespace drovanta::app {
namespace {

// The code point and length of the UTF-8 sequence at `at` in printable text,
// which holds nothing else.
char32_t codePointAt(std::string_view text, std::size_t at, std::size_t &length)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80) {
        length = 1;
        return lead;
    }
    length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    if (at + length > text.size()) {
        length = text.size() - at;
        return 0xFFFD;
    }
    char32_t point = lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i)
        point = (point << 6) | (byte(at + i) & 0x3F);
    return point;
}

std::size_t columnsOf(char32_t point)
{
    struct Range {
        char32_t first;
        char32_t last;
    };
    static constexpr Range wide[] = {
        {0x1100, 0x115F},   {0x231A, 0x23FF},   {0x25A0, 0x27BF},   {0x2B00, 0x2BFF},
        {0x2E80, 0xA4CF},   {0xA960, 0xA97F},   {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},
        {0xFE10, 0xFE6F},   {0xFF00, 0xFF60},   {0xFFE0, 0xFFE6},   {0x16FE0, 0x1B2FF},
        {0x1F000, 0x1FAFF}, {0x20000, 0x3FFFD},
    };
    if (point == '\t')
        return 8; // at most
    for (const Range &range : wide)
        if (point >= range.first && point <= range.last)
            return 2;
    return 1;
}

} // namespace

std::size_t textColumns(std::string_view printable)
{
    std::size_t columns = 0;
    for (std::size_t i = 0, length = 0; i < printable.size(); i += length)
        columns += columnsOf(codePointAt(printable, i, length));
    return columns;
}

std::string endCut(std::string_view printable, std::size_t columns)
{
    std::size_t used = 0;
    std::size_t i = 0;
    for (std::size_t length = 0; i < printable.size(); i += length) {
        const std::size_t width = columnsOf(codePointAt(printable, i, length));
        if (used + width > columns)
            break;
        used += width;
    }
    return std::string(printable.substr(0, i));
}

std::string middleCut(std::string_view printable, std::size_t columns)
{
    static constexpr std::string_view ellipsis = "...";
    if (textColumns(printable) <= columns)
        return std::string(printable);
    if (columns <= ellipsis.size())
        return std::string(ellipsis.substr(0, columns));
    const std::size_t room = columns - ellipsis.size();
    const std::string head = endCut(printable, room - room / 2);
    // The end: the characters from the back that fit in what the head left.
    std::size_t used = textColumns(head);
    std::size_t start = printable.size();
    while (start > head.size()) {
        std::size_t from = start - 1;
        while (from > head.size() && (static_cast<unsigned char>(printable[from]) & 0xC0) == 0x80)
            --from;
        std::size_t length = 0;
        const std::size_t width = columnsOf(codePointAt(printable, from, length));
        if (used + width > room)
            break;
        used += width;
        start = from;
    }
    return head + std::string(ellipsis) + std::string(printable.substr(start));
}

} // namespace drovanta::app
