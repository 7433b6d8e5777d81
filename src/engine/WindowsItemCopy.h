#pragma once

#include "engine/WindowsRunContext.h"

#include <windows.h>

#include <string>

namespace drovanta::engine::windows {

// Copies one file, link or junction `name` from the folder's source to its
// target, under a temporary name first and put in place of the real name
// once complete. A file that the earlier backup holds unchanged becomes
// another name of that backup's file instead. `attributes` are those the
// listing gave. Counts and failures go to `result`.
void copyItem(RunContext &run, const Folder &folder, const std::wstring &name, DWORD attributes, Result &result);

// Copies the link or junction `source` as one to `target`: its reparse data
// as it is, never followed.
void copyReparsePoint(RunContext &run, const std::wstring &source, const std::wstring &target, DWORD attributes,
                      Result &result);

} // namespace drovanta::engine::windows
