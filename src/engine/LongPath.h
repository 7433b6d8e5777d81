#pragma once

#include <string>
#include <string_view>

namespace drovanta::engine {

// Turns an absolute Windows path into its extended-length form ("\\?\C:\x",
// "\\?\UNC\server\share\x") so that paths past MAX_PATH open. Forward slashes
// become backslashes (the extended form takes names literally). Paths already
// in that form, device paths and relative paths are returned with slashes
// converted only: a relative path cannot take the prefix.
[[nodiscard]] inline std::wstring toExtendedPath(std::wstring_view path)
{
    std::wstring result(path);
    for (auto &c : result) {
        if (c == L'/')
            c = L'\\';
    }
    if (result.starts_with(L"\\\\?\\") || result.starts_with(L"\\\\.\\"))
        return result;
    if (result.starts_with(L"\\\\"))
        return L"\\\\?\\UNC\\" + result.substr(2);
    const bool drive = result.size() >= 3 && ((result[0] >= L'A' && result[0] <= L'Z') || (result[0] >= L'a' && result[0] <= L'z'))
        && result[1] == L':' && result[2] == L'\\';
    if (drive)
        return L"\\\\?\\" + result;
    return result;
}

} // namespace drovanta::engine
