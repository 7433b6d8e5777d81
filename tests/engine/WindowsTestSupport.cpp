// The Windows side of the engine tests' helpers: times in 100 ns units,
// attributes in place of modes, FormatMessage for the system's words.
#include "EngineTestSupport.h"
#include "WindowsTestSupport.h"

#include "engine/SystemItems.h"
#include "engine/WindowsSupport.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

namespace fs = std::filesystem;

namespace drovanta::engine::testing {

namespace {

// Attributes the engine carries over to a copy.
constexpr DWORD keptAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
// 100 ns intervals between 1601-01-01 and 1970-01-01.
constexpr std::int64_t unixEpoch = 116'444'736'000'000'000LL;

FILETIME fileTime(std::int64_t seconds, long nanoseconds)
{
    const auto ticks = static_cast<std::uint64_t>(unixEpoch + seconds * 10'000'000LL + nanoseconds / 100);
    return {static_cast<DWORD>(ticks & 0xffffffffu), static_cast<DWORD>(ticks >> 32)};
}

std::uint64_t ticks(const FILETIME &time)
{
    return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

bool attributesOf(const fs::path &path, WIN32_FILE_ATTRIBUTE_DATA &data)
{
    return ::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) != 0;
}

struct Comparison {
    const std::vector<std::string> &absent;
    bool partial;
    std::vector<std::string> differences;

    bool expectedAbsent(const fs::path &item) const
    {
        const std::string wanted = reported(item.string());
        return std::any_of(absent.begin(), absent.end(),
                           [&](const std::string &path) { return reported(path) == wanted; });
    }

    void compare(const fs::path &source, const fs::path &copy)
    {
        std::map<std::string, bool> copyNames;
        std::error_code error;
        for (const auto &entry : fs::directory_iterator(copy, error)) {
            const std::string name = entry.path().filename().string();
            if (!isTemporaryName(name) || !partial)
                copyNames[name] = false;
        }
        std::vector<std::string> sourceNames;
        for (const auto &entry : fs::directory_iterator(source, error))
            sourceNames.push_back(entry.path().filename().string());
        std::sort(sourceNames.begin(), sourceNames.end());
        for (const auto &name : sourceNames) {
            const fs::path itemSource = source / name;
            const fs::path itemCopy = copy / name;
            const bool expectAbsent = expectedAbsent(itemSource);
            const auto found = copyNames.find(name);
            if (found == copyNames.end()) {
                if (!expectAbsent && !partial)
                    differences.push_back("missing: " + itemCopy.string());
                continue;
            }
            found->second = true;
            if (expectAbsent) {
                differences.push_back("should be absent: " + itemCopy.string());
                continue;
            }
            compareItem(itemSource, itemCopy);
        }
        for (const auto &[name, seen] : copyNames) {
            if (!seen)
                differences.push_back("extra: " + (copy / name).string());
        }
    }

    void compareItem(const fs::path &source, const fs::path &copy)
    {
        WIN32_FILE_ATTRIBUTE_DATA a{};
        WIN32_FILE_ATTRIBUTE_DATA b{};
        if (!attributesOf(source, a) || !attributesOf(copy, b)) {
            differences.push_back("cannot read attributes: " + copy.string());
            return;
        }
        const bool folder = (a.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (folder != ((b.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)) {
            differences.push_back("type: " + copy.string());
            return;
        }
        // A folder of a run cut short has not been given its attributes and times.
        const bool unfinishedFolder = partial && folder;
        if (!unfinishedFolder && (a.dwFileAttributes & keptAttributes) != (b.dwFileAttributes & keptAttributes))
            differences.push_back("attributes: " + copy.string() + " " + std::to_string(a.dwFileAttributes) + " vs "
                                  + std::to_string(b.dwFileAttributes));
        if (!unfinishedFolder && ticks(a.ftLastWriteTime) != ticks(b.ftLastWriteTime))
            differences.push_back("mtime: " + copy.string() + " " + std::to_string(ticks(a.ftLastWriteTime)) + " vs "
                                  + std::to_string(ticks(b.ftLastWriteTime)));
        if (folder) {
            compare(source, copy);
            return;
        }
        if (a.nFileSizeHigh != b.nFileSizeHigh || a.nFileSizeLow != b.nFileSizeLow)
            differences.push_back("size: " + copy.string());
        if (readFile(source.string()) != readFile(copy.string()))
            differences.push_back("content: " + copy.string());
    }
};

} // namespace

void removeTree(const std::string &path)
{
    std::error_code error;
    // Read-only files and folders cannot be deleted until the attribute goes.
    for (auto it = fs::recursive_directory_iterator(path, fs::directory_options::skip_permission_denied, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error))
        ::SetFileAttributesW(it->path().c_str(), FILE_ATTRIBUTE_NORMAL);
    fs::remove_all(path, error);
}

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void setTimes(const std::string &path, std::int64_t accessSeconds, long accessNanoseconds,
              std::int64_t modificationSeconds, long modificationNanoseconds)
{
    const std::wstring name = fs::path(path).wstring();
    const HANDLE handle = ::CreateFileW(name.c_str(), FILE_WRITE_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                        nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE) << path << ": " << systemReason(static_cast<int>(::GetLastError()));
    const FILETIME access = fileTime(accessSeconds, accessNanoseconds);
    const FILETIME modification = fileTime(modificationSeconds, modificationNanoseconds);
    const BOOL set = ::SetFileTime(handle, nullptr, &access, &modification);
    const DWORD code = ::GetLastError();
    ::CloseHandle(handle);
    ASSERT_TRUE(set) << path << ": " << systemReason(static_cast<int>(code));
}

std::vector<std::string> compareTrees(const std::string &source, const std::string &copy,
                                      const std::vector<std::string> &absentFromCopy, bool partial)
{
    Comparison comparison{absentFromCopy, partial, {}};
    std::error_code error;
    if (!fs::is_directory(source, error) || !fs::is_directory(copy, error))
        comparison.differences.push_back("cannot open " + source + " or " + copy);
    else
        comparison.compare(source, copy);
    return comparison.differences;
}

long finestTimeStep()
{
    return 100;
}

// Symbolic links need a privilege on Windows (or developer mode), Wine
// cannot make them at all, and MinGW's std::filesystem does not try.
bool canMakeLinks()
{
    return false;
}

std::string fileIdentity(const std::string &path)
{
    const std::wstring name = fs::path(path).wstring();
    const HANDLE handle = ::CreateFileW(name.c_str(), FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        ADD_FAILURE() << path << ": " << systemReason(static_cast<int>(::GetLastError()));
        return {};
    }
    BY_HANDLE_FILE_INFORMATION info{};
    FILE_BASIC_INFO basic{};
    const bool read = ::GetFileInformationByHandle(handle, &info)
        && ::GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic);
    ::CloseHandle(handle);
    EXPECT_TRUE(read) << path;
    return std::to_string(info.dwVolumeSerialNumber) + ":" + std::to_string(info.nFileIndexHigh) + ":"
        + std::to_string(info.nFileIndexLow) + " changed " + std::to_string(basic.ChangeTime.QuadPart);
}

std::string systemReason(int code)
{
    return windows::errorText(code);
}

std::wstring widePath(const std::string &path)
{
    return std::filesystem::path(path).wstring();
}

BY_HANDLE_FILE_INFORMATION informationOf(const std::string &path)
{
    BY_HANDLE_FILE_INFORMATION info{};
    const HANDLE handle = ::CreateFileW(widePath(path).c_str(), FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                        nullptr);
    EXPECT_NE(handle, INVALID_HANDLE_VALUE) << path;
    EXPECT_TRUE(::GetFileInformationByHandle(handle, &info)) << path;
    ::CloseHandle(handle);
    return info;
}

} // namespace drovanta::engine::testing
