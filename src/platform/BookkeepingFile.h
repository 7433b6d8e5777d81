#pragma once

#include <optional>
#include <string>

namespace drovanta::platform {

// The program's own files beside the backups (the fingerprint records in
// "DESTINATION/.drovanta"). Another user who may write at the destination
// must not be able to have the program write (perhaps as root) anywhere
// else, or wait forever: on POSIX systems neither the folder that holds
// such a file nor the file itself is reached through a link at its own
// name, and only a plain file is read. Windows refuses links there too.

// Writes `text` as the file `path` under a temporary name beside it, on the
// drive before it is renamed into place: the file is complete or absent,
// never cut short. Its folder is made when missing. Returns why not.
[[nodiscard]] std::optional<std::string> replaceBookkeepingFile(const std::string &path, const std::string &text);

// The text of the file `path`; nothing when it is missing, not a plain file
// or unreadable, with `problem` saying which ("there is none" when missing).
[[nodiscard]] std::optional<std::string> readBookkeepingFile(const std::string &path, std::string &problem);

// Removes the file `path` when it is one (a link there goes, never what it
// points to); nothing happens when it is missing.
void removeBookkeepingFile(const std::string &path);

} // namespace drovanta::platform
