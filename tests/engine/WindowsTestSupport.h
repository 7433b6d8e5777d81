#pragma once

// Helpers of the Windows engine tests beyond the shared ones.
#include <windows.h>

#include <string>

namespace drovanta::engine::testing {

std::wstring widePath(const std::string &path);

// The file's attributes, times, size, link count and file index, read
// without following a reparse point.
BY_HANDLE_FILE_INFORMATION informationOf(const std::string &path);

} // namespace drovanta::engine::testing
