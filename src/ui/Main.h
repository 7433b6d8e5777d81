#pragma once

#include <string>
#include <string_view>

// Start-up helpers shared by the window's modules.
namespace drovanta::shell::Main {

// The program's name: the window caption, the settings section and the
// source of the application title.
inline constexpr const char *productName = "Drovanta";

// The path of an optional file that lies beside the program, given relative
// to the program folder with '/' between its parts ("x/o.cjs").
std::string programFile(const std::string &relative);

// True when the system can report the modification time of `path` (an
// existing file or folder). Never fails.
bool FileExists(const std::string &path);

// The application title made from a product name: the last blank and what
// follows it are cut off, at least once and until at most 40 characters
// remain. A name without a blank is kept whole.
std::string appTitleFor(const std::string &productName);
void SetAppTitle();

// About once in a hundred starts, opens `address` (by default the home page
// the program was built with) in the web browser; nothing when it is empty.
// The draw is made either way.
void RandomHomePageVisit(std::string_view address);
void RandomHomePageVisit();

// Looks for the skin file beside the program and applies it to the main window.
void ApplySkin();

} // namespace drovanta::shell::Main
