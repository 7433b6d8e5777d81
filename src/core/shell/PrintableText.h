#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace drovanta::shell {

// A text as it may be printed on a terminal or into a log. Paths on Linux are
// byte strings: a byte that is not part of valid UTF-8 is shown as "\xE9", and
// control characters other than tab, line feed and carriage return as "\x1B",
// so that a file name can neither garble the output nor steer the terminal.
[[nodiscard]] std::string printableText(std::string_view bytes);

// The same for a text that must stay on one line: tab, line feed and carriage
// return are escaped as well.
[[nodiscard]] std::string printableLine(std::string_view bytes);

// The length of the valid UTF-8 sequence of a character above ASCII starting
// at `at`, or 0 when the bytes there are not one (overlong forms, surrogates
// and code points above U+10FFFF are not).
[[nodiscard]] std::size_t utf8SequenceLength(std::string_view text, std::size_t at);

} // namespace drovanta::shell
