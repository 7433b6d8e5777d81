#pragma once

#include <windows.h>

namespace drovanta::engine::windows {

// The attributes a copy takes from its source.
inline constexpr DWORD keptAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM
    | FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// The times and attributes of an item as FileBasicInfo takes them.
[[nodiscard]] FILE_BASIC_INFO basicOf(const BY_HANDLE_FILE_INFORMATION &info);

// Whether the access control list of the item behind `handle` holds rules
// of its own (not only those inherited from its folder), which a copy does
// not keep.
[[nodiscard]] bool hasOwnAccessRules(HANDLE handle);

// Whether the file behind `handle` has data streams beyond its main one.
[[nodiscard]] bool hasAlternateStreams(HANDLE handle);

} // namespace drovanta::engine::windows
