#include "platform/OptionalFile.h"

#include "platform/OwnedHandle.h"

#include <system_error>

#ifdef _WIN32
#include "platform/windows/WideText.h"

#include <windows.h>

#include <vector>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace drovanta::platform {
namespace {

OptionalFileContent failed(int code)
{
    OptionalFileContent content;
    content.status = OptionalFileContent::Status::Failed;
#ifdef _WIN32
    content.reason = std::system_category().message(code);
#else
    content.reason = std::generic_category().message(code);
#endif
    return content;
}

OptionalFileContent withStatus(OptionalFileContent::Status status)
{
    OptionalFileContent content;
    content.status = status;
    return content;
}

} // namespace

bool isRegularFile(const std::string &path)
{
#ifdef _WIN32
    const DWORD attributes = ::GetFileAttributesW(wideText(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0
        && (attributes & FILE_ATTRIBUTE_DEVICE) == 0;
#else
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
#endif
}

OptionalFileContent readOptionalFile(const std::string &path, std::uint64_t limit)
{
    using Status = OptionalFileContent::Status;
    if (!isRegularFile(path))
        return withStatus(Status::NotRegular);
#ifdef _WIN32
    OwnedHandle file(::CreateFileW(wideText(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE)
        return failed(static_cast<int>(::GetLastError()));
    if (::GetFileType(file.get()) != FILE_TYPE_DISK)
        return withStatus(Status::NotRegular);
    LARGE_INTEGER size {};
    if (!::GetFileSizeEx(file.get(), &size))
        return failed(static_cast<int>(::GetLastError()));
    if (static_cast<std::uint64_t>(size.QuadPart) > limit)
        return withStatus(Status::TooLarge);
    OptionalFileContent content;
    content.status = Status::Read;
    std::vector<char> buffer(64 * 1024);
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(file.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr))
            return failed(static_cast<int>(::GetLastError()));
        if (got == 0)
            break;
        content.bytes.append(buffer.data(), got);
        // The file may grow while it is read; the limit holds all the same.
        if (content.bytes.size() > limit)
            return withStatus(Status::TooLarge);
    }
    return content;
#else
    // Non-blocking: should a FIFO take the file's place after the check above,
    // the open returns at once and the second check sees it.
    OwnedFd file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (file.get() < 0)
        return failed(errno);
    struct stat info {};
    if (::fstat(file.get(), &info) != 0)
        return failed(errno);
    if (!S_ISREG(info.st_mode))
        return withStatus(Status::NotRegular);
    if (static_cast<std::uint64_t>(info.st_size) > limit)
        return withStatus(Status::TooLarge);
    OptionalFileContent content;
    content.status = Status::Read;
    char buffer[64 * 1024];
    for (;;) {
        const ssize_t got = ::read(file.get(), buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return failed(errno);
        }
        if (got == 0)
            break;
        content.bytes.append(buffer, static_cast<std::size_t>(got));
        // The file may grow while it is read; the limit holds all the same.
        if (content.bytes.size() > limit)
            return withStatus(Status::TooLarge);
    }
    return content;
#endif
}

} // namespace drovanta::platform
