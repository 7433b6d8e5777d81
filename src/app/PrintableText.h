#pragma once

#include <string>
#include <string_view>

namespace drovanta::app {

// A text as it may be printed on a terminal or into a log. Paths on Linux are
// byte strings: a byte that is not part of valid UTF-8 is shown as "\xE9", and
// control characters other than tab, line feed and carriage return as "\x1B",
// so that a file name can neither garble the output nor steer the terminal.
[[nodiscard]] std::string printableText(std::string_view bytes);

} // namespace drovanta::app
