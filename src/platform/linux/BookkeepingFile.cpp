#include "platform/BookkeepingFile.h"

#include "platform/OwnedHandle.h"
#include "platform/linux/FileKind.h"
#include "platform/linux/WriteAll.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>

namespace drovanta::platform {
namespace {

// The folder that holds `path`, opened without following a link at its own
// name; -1 with `problem` set, and `*code` when given, when it is not a real
// folder.
int openHolder(const std::filesystem::path &path, bool create, std::string &problem, int *code = nullptr)
{
    const std::filesystem::path folder = path.parent_path();
    if (create && ::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
        problem = "cannot create '" + folder.string() + "': " + std::strerror(errno);
        return -1;
    }
    const int held = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (held < 0) {
        const int error = errno;
        if (code != nullptr)
            *code = error;
        const OwnedFd above(::open(folder.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        problem = above.valid() ? problemWith(above.get(), folder.filename().string(), folder.string(), S_IFDIR, error)
                                : "'" + folder.string() + "': " + std::strerror(error);
    }
    return held;
}

} // namespace

std::optional<std::string> replaceBookkeepingFile(const std::string &path, const std::string &text)
{
    const std::filesystem::path target(path);
    std::string problem;
    const OwnedFd folder(openHolder(target, true, problem));
    if (!folder.valid())
        return problem;
    const std::string name = target.filename().string();
    const std::string temporary = name + ".part-" + std::to_string(std::random_device{}());
    const std::string temporaryPath = (target.parent_path() / temporary).string();
    OwnedFd file(::openat(folder.get(), temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          0644));
    if (!file.valid())
        return "cannot write " + problemWith(folder.get(), temporary, temporaryPath, S_IFREG, errno);
    if (!writeAll(file.get(), text) || ::fsync(file.get()) != 0) {
        const int error = errno;
        ::unlinkat(folder.get(), temporary.c_str(), 0);
        return "cannot write '" + temporaryPath + "': " + std::strerror(error);
    }
    if (::renameat(folder.get(), temporary.c_str(), folder.get(), name.c_str()) != 0) {
        const int error = errno;
        ::unlinkat(folder.get(), temporary.c_str(), 0);
        return "cannot rename '" + temporaryPath + "': " + std::strerror(error);
    }
    return std::nullopt;
}

std::optional<std::string> readBookkeepingFile(const std::string &path, std::string &problem)
{
    const std::filesystem::path target(path);
    int holderError = 0;
    const OwnedFd folder(openHolder(target, false, problem, &holderError));
    if (!folder.valid()) {
        problem = holderError == ENOENT ? "there is none" : "cannot be read: " + problem;
        return std::nullopt;
    }
    const std::string name = target.filename().string();
    const OwnedFd file(::openat(folder.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat facts {};
    if (!file.valid() || ::fstat(file.get(), &facts) != 0 || !S_ISREG(facts.st_mode)) {
        const int error = file.valid() ? 0 : errno;
        if (error == ENOENT)
            problem = "there is none";
        else if (error == ELOOP)
            problem = "is a link";
        else if (error != 0)
            problem = "cannot be read: " + std::string(std::strerror(error));
        else
            problem = "is " + kindOf(facts.st_mode);
        return std::nullopt;
    }
    std::string text;
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(file.get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            problem = "cannot be read: " + std::string(std::strerror(errno));
            return std::nullopt;
        }
        if (got == 0)
            break;
        text.append(buffer, static_cast<std::size_t>(got));
    }
    return text;
}

void removeBookkeepingFile(const std::string &path)
{
    const std::filesystem::path target(path);
    std::string problem;
    const OwnedFd folder(openHolder(target, false, problem));
    if (folder.valid())
        ::unlinkat(folder.get(), target.filename().c_str(), 0);
}

} // namespace drovanta::platform
