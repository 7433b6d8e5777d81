#pragma once

#include <optional>
#include <string>

namespace drovanta::shell {

// The per-user settings of the program: application "Corvane", section
// "Drovanta". Every read goes to the store, every write is stored at once.
namespace SettingsStore {

// The stored text of `key`, or `defaultValue` written as a decimal integer
// when the key does not exist.
std::string getSetting(const std::string &key, int defaultValue);
// The stored text of `key`, or nothing when the key does not exist.
std::optional<std::string> findSetting(const std::string &key);
void saveSetting(const std::string &key, const std::string &value);

// Converts a stored text to a 16-bit signed integer as the program always
// has: surrounding blanks ignored, a fraction rounded to the nearest integer
// with halves to the even neighbour. Throws Failure("Overflow") outside
// -32768..32767 and Failure("Type mismatch") for a text that is no number.
short toInteger16(const std::string &text);

} // namespace SettingsStore
} // namespace drovanta::shell
