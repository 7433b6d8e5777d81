#pragma once

#include "engine/WindowsCheckWalk.h"
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

// Whether `target` (at `targetPath`) already is what a copy of `source` (at
// `sourcePath`) would leave alone, as a rerun or a restore finds it: a file
// of the same size and last-write time (at the destination's precision,
// `fatTimes`), a link or junction with the same reparse data, or a folder.
[[nodiscard]] bool holdsCopyOf(const ListedEntry &target, const std::wstring &targetPath, const ListedEntry &source,
                               const std::wstring &sourcePath, bool fatTimes);

// Copies the link or junction `source` as one to `target`: its reparse data
// as it is, never followed.
void copyReparsePoint(RunContext &run, const std::wstring &source, const std::wstring &target, DWORD attributes,
                      Result &result);

} // namespace drovanta::engine::windows
