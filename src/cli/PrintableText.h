#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace drovanta::app {

// A text as it may be printed on a terminal or into a log. Paths on Linux are
// byte strings: a byte that is not part of valid UTF-8 is shown as "\xE9", and
// control characters other than tab, line feed and carriage return as "\x1B",
// so that a file name can neither garble the output nor steer the terminal.
[[nodiscard]] std::string printableText(std::string_view bytes);

// The same for a text that must stay on one line: tab, line feed and carriage
// return are escaped as well.
[[nodiscard]] std::string printableLine(std::string_view bytes);

// The columns a printable text takes on a terminal. Characters that East
// Asian and emoji fonts draw twice as wide count two; the ranges err on the
// wide side, which only makes a fitted line shorter than it could be.
[[nodiscard]] std::size_t textColumns(std::string_view printable);

// A printable text in at most `columns` columns: whole when it fits, else
// its start and its end with "..." between them, since both tell a name
// apart (a folder's name, a file's extension). Never splits a character.
[[nodiscard]] std::string middleCut(std::string_view printable, std::size_t columns);

// A printable text's first characters that fit in `columns` columns.
[[nodiscard]] std::string endCut(std::string_view printable, std::size_t columns);

} // namespace drovanta::app
