#include "platform/StdApplication.h"

#ifdef _WIN32
#include "platform/windows/WideText.h"
#endif

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace drovanta::platform {

std::string StdApplication::programFolder() const
{
#ifdef _WIN32
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0)
            return {};
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    const std::size_t separator = path.find_last_of(L"\\/");
    if (separator == std::wstring::npos)
        return {};
    // A drive's root keeps its separator: "C:\".
    return utf8Text(path.substr(0, separator == 2 ? separator + 1 : separator));
#else
    std::error_code ec;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec)
        return {};
    const std::string folder = program.parent_path().string();
    return folder.empty() ? std::string("/") : folder;
#endif
}

void StdApplication::exitNow(int code)
{
    std::fflush(nullptr);
    std::_Exit(code);
}

} // namespace drovanta::platform
