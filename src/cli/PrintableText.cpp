#include "cli/PrintableText.h"

#include <cstddef>

namespace drovanta::app {
namespace {

// The length of the valid UTF-8 sequence starting at `at`, or 0.
std::size_t utf8SequenceLength(std::string_view text, std::size_t at)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0)
            low = 0xA0; // no overlong forms
        if (lead == 0xED)
            high = 0x9F; // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0)
            low = 0x90;
        if (lead == 0xF4)
            high = 0x8F; // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (at + length > text.size())
        return 0;
    if (byte(at + 1) < low || byte(at + 1) > high)
        return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if (byte(at + i) < 0x80 || byte(at + i) > 0xBF)
            return 0;
    }
    return length;
}

void appendEscaped(std::string &out, unsigned char byte)
{
    static constexpr char digits[] = "0123456789ABCDEF";
    out += "\\x";
    out += digits[byte >> 4];
    out += digits[byte & 0xF];
}

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

std::string printableText(std::string_view bytes)
{
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size();) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        if (byte < 0x80) {
            if ((byte < 0x20 && byte != '\t' && byte != '\n' && byte != '\r') || byte == 0x7F)
                appendEscaped(out, byte);
            else
                out += static_cast<char>(byte);
            ++i;
            continue;
        }
        const std::size_t length = utf8SequenceLength(bytes, i);
        if (length == 0) {
            appendEscaped(out, byte);
            ++i;
            continue;
        }
        out.append(bytes.substr(i, length));
        i += length;
    }
    return out;
}

std::string printableLine(std::string_view bytes)
{
    std::string out;
    for (const char c : printableText(bytes)) {
        if (c == '\t' || c == '\n' || c == '\r')
            appendEscaped(out, static_cast<unsigned char>(c));
        else
            out += c;
    }
    return out;
}

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
