#pragma once

#include <optional>
#include <string_view>

namespace drovanta::shell {

// A decimal number written the C way ("1234", "-2.5", "1e3"), surrounding
// blanks ignored; nothing when the text is no number or has more after it.
std::optional<double> decimalNumber(std::string_view text);

// The same in the user's regional settings ("2,5" where the comma is the
// decimal point), falling back to the C way.
std::optional<double> regionalNumber(std::string_view text);

} // namespace drovanta::shell
