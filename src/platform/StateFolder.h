#pragma once

#include <cstdint>
#include <string>

namespace drovanta::platform {

// The folder where the program keeps what it records for the user (its run
// log): $XDG_STATE_HOME/drovanta, else ~/.local/state/drovanta on Linux;
// %LOCALAPPDATA%\Drovanta on Windows. Empty when neither can be found.
[[nodiscard]] std::string userStateFolder();

// For the state files of each system: the state folder, or an empty path
// with `reason` saying why there is none; and the reason given for leaving
// `path` alone when it is not `what` of the user's own but `kind`.
[[nodiscard]] std::string stateFolderOrReason(std::string &reason);
[[nodiscard]] std::string notOursReason(const std::string &path, const std::string &what, const std::string &kind);

// Appends `text` to the file `name` in the state folder, creating both when
// missing. When the file would grow past `cap` bytes it becomes "name.1"
// (replacing an older one) and `text` starts a new file. Returns the file's
// path, or an empty path with `reason` set. On POSIX systems the folder and
// the file are used only when they are a real folder and a plain file of the
// user's own: a link, a named pipe, a device or another user's file there is
// neither read nor written nor waited on, and `reason` says what it is.
[[nodiscard]] std::string appendToStateFile(const std::string &name, const std::string &text, std::string &reason,
                                            std::uintmax_t cap = UINTMAX_MAX);

// The name of the user the program runs as (empty when the system does not
// say).
[[nodiscard]] std::string userName();

} // namespace drovanta::platform
