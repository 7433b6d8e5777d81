#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace drovanta::app {

// The columns a printable text (see shell::printableText) takes on a
// terminal. Characters that East Asian and emoji fonts draw twice as wide
// count two; the ranges err on the wide side, which only makes a fitted line
// shorter than it could be.
[[nodiscard]] std::size_t textColumns(std::string_view printable);

// A printable text in at most `columns` columns: whole when it fits, else
// its start and its end with "..." between them, since both tell a name
// apart (a folder's name, a file's extension). Never splits a character.
[[nodiscard]] std::string middleCut(std::string_view printable, std::size_t columns);

// A printable text's first characters that fit in `columns` columns.
[[nodiscard]] std::string endCut(std::string_view printable, std::size_t columns);

} // namespace drovanta::app
