#include "core/shell/NumberText.h"

#include <charconv>
#include <locale>
#include <sstream>
#include <string>

namespace drovanta::shell {
namespace {

std::string_view trimmed(std::string_view text)
{
    constexpr std::string_view blanks = " \t\n\v\f\r";
    const auto first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

} // namespace

std::optional<double> decimalNumber(std::string_view text)
{
    text = trimmed(text);
    if (text.starts_with('+'))
        text.remove_prefix(1);
    double value = 0;
    const char *end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end)
        return std::nullopt;
    return value;
}

std::optional<double> regionalNumber(std::string_view text)
{
    try {
        std::istringstream in{std::string(trimmed(text))};
        in.imbue(std::locale(""));
        double value = 0;
        in >> value;
        if (!in.fail() && in.peek() == std::char_traits<char>::eof())
            return value;
    } catch (const std::runtime_error &) {
        // The environment names a locale this system does not have.
    }
    return decimalNumber(text);
}

} // namespace drovanta::shell
