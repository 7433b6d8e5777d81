#include "engine/PosixSupport.h"

#include "engine/PathBelowRoot.h"
#include "engine/SystemItems.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <sys/resource.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <random>
#include <system_error>
#include <thread>
#include <vector>

namespace drovanta::engine::posix {

void UniqueFd::reset()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

Error UniqueFd::close()
{
    const int fd = std::exchange(m_fd, -1);
    if (fd < 0)
        return {};
    // Linux releases the descriptor even when close() fails; retrying on
    // EINTR could close a descriptor another thread just opened.
    return ::close(fd) == 0 ? Error{} : lastError("write");
}

void UniqueDir::reset()
{
    if (m_stream != nullptr)
        ::closedir(m_stream);
    m_stream = nullptr;
}

Outcome<UniqueDir> streamOn(UniqueFd folder, const char *operation)
{
    DIR *stream = ::fdopendir(folder.get());
    if (stream == nullptr)
        return lastError(operation);
    (void)folder.release(); // the stream owns it now
    return UniqueDir(stream);
}

Outcome<UniqueDir> openListing(int folderFd)
{
    UniqueFd folder(::openat(folderFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder.valid())
        return lastError("list folder");
    return streamOn(std::move(folder), "list folder");
}

std::string errorText(int code)
{
    return std::error_code(code, std::generic_category()).message();
}

bool isDestinationFatal(int code)
{
    switch (code) {
    case ENOSPC:
    case EDQUOT:
    case EROFS:
    case EIO:
    case ENODEV:
    case ENXIO:
    case ESTALE:
    case ENOTCONN:
    case ESHUTDOWN:
    case ENOMEDIUM:
        return true;
    default:
        return false;
    }
}

std::string normalized(std::string path)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

std::string parentOf(const std::string &path)
{
    const auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string baseName(const std::string &path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string joinPath(const std::string &folder, std::string_view name)
{
    std::string path;
    path.reserve(folder.size() + 1 + name.size());
    path += folder;
    if (path.empty() || path.back() != '/')
        path += '/';
    path += name;
    return path;
}

std::int64_t timeGranularityNs(int fd)
{
    constexpr std::int64_t exfatMagic = 0x2011BAB0;
    constexpr std::int64_t ntfsMagic = 0x5346544e;
    constexpr std::int64_t ntfs3Magic = 0x7366746e;
    constexpr std::int64_t xfsMagic = 0x58465342;
    constexpr std::int64_t zfsMagic = 0x2fc12fc1;
    constexpr std::int64_t bcachefsMagic = 0xca451a4e;
    struct statfs info {};
    if (::fstatfs(fd, &info) != 0)
        return 1'000'000'000;
    switch (static_cast<std::int64_t>(info.f_type)) {
    case MSDOS_SUPER_MAGIC:
    case exfatMagic:
        return 2'000'000'000;
    case ntfsMagic:
    case ntfs3Magic:
        return 100;
    case EXT4_SUPER_MAGIC: // also ext2 and ext3
    case xfsMagic:
    case BTRFS_SUPER_MAGIC:
    case TMPFS_MAGIC:
    case F2FS_SUPER_MAGIC:
    case zfsMagic:
    case bcachefsMagic:
    case OVERLAYFS_SUPER_MAGIC:
        return 1;
    default:
        // Unknown (network, FUSE): assume whole seconds rather than recopy
        // every file on each run because the fraction was dropped.
        return 1'000'000'000;
    }
}

bool sameModificationTime(const timespec &a, const timespec &b, std::int64_t granularityNs)
{
    const auto ns = [](const timespec &t) {
        return static_cast<__int128>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
    };
    const __int128 x = ns(a);
    const __int128 y = ns(b);
    if (granularityNs >= 2'000'000'000)
        return (x > y ? x - y : y - x) <= granularityNs;
    if (granularityNs <= 1)
        return x == y;
    const auto floorDiv = [granularityNs](__int128 v) {
        __int128 q = v / granularityNs;
        if (v % granularityNs < 0)
            --q;
        return q;
    };
    return floorDiv(x) == floorDiv(y);
}

std::string makeTemporaryName()
{
    thread_local std::mt19937_64 generator{[] {
        std::random_device device;
        const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
        return (static_cast<std::uint64_t>(device()) << 32) ^ device() ^ static_cast<std::uint64_t>(now)
            ^ std::hash<std::thread::id>{}(std::this_thread::get_id());
    }()};
    static constexpr char digits[] = "0123456789abcdef";
    std::string name(temporaryPrefix);
    auto value = generator();
    for (int i = 0; i < static_cast<int>(temporaryDigits); ++i) {
        name += digits[value & 0xf];
        value >>= 4;
    }
    return name;
}

Opened openFolderPath(const std::string &path)
{
    constexpr const char *operation = "open folder";
    const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
    if (path.empty())
        return Error{ENOENT, operation};
    UniqueFd current(::open(path[0] == '/' ? "/" : ".", flags));
    if (!current.valid())
        return lastError(operation);
    std::size_t start = 0;
    while (start < path.size()) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        const std::string component = path.substr(start, end - start);
        start = end + 1;
        if (component.empty() || component == ".")
            continue;
        UniqueFd next(::openat(current.get(), component.c_str(), flags));
        if (!next.valid())
            return lastError(operation);
        current = std::move(next);
    }
    return current;
}

namespace {

// Set once the kernel (or a seccomp filter) refuses openat2: every later
// open goes level by level at once.
std::atomic<bool> openat2Refused{false};

} // namespace

Error splitAtRoot(const std::string &root, const std::string &path, BeneathRoot &split)
{
    PathBelowRoot<char> parts;
    if (!engine::splitAtRoot<char>(root, path, '/', std::equal_to<>{}, parts))
        return {EINVAL, "open folder"};
    split.root = std::move(parts.root);
    split.below = std::move(parts.below);
    return {};
}

Opened openBeneath(int folderFd, std::span<const std::string> components)
{
    constexpr const char *operation = "open folder";
    constexpr int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
#ifdef SYS_openat2
    if (components.size() > 1 && !openat2Refused.load(std::memory_order_relaxed)) {
        std::string relative;
        for (const auto &component : components) {
            if (!relative.empty())
                relative += '/';
            relative += component;
        }
        open_how how{};
        how.flags = flags;
        how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_BENEATH;
        const long fd = ::syscall(SYS_openat2, folderFd, relative.c_str(), &how, sizeof how);
        if (fd >= 0)
            return UniqueFd(static_cast<int>(fd));
        // ENOSYS: an older kernel; EPERM: a seccomp filter that does not
        // know the call; E2BIG/EINVAL: a kernel without these flags;
        // ENAMETOOLONG: past PATH_MAX, which level by level still opens.
        if (errno == ENOSYS || errno == EPERM || errno == E2BIG || errno == EINVAL)
            openat2Refused.store(true, std::memory_order_relaxed);
        else if (errno != ENAMETOOLONG)
            return lastError(operation);
    }
#endif
    // Level by level: each component is the last of its own open, so
    // O_NOFOLLOW refuses a link at every level.
    UniqueFd current;
    for (const auto &component : components) {
        UniqueFd next(::openat(current.valid() ? current.get() : folderFd, component.c_str(), flags));
        if (!next.valid())
            return lastError(operation);
        current = std::move(next);
    }
    return current;
}

void raiseDescriptorLimit()
{
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return;
    constexpr rlim_t wanted = 65536;
    const rlim_t target = limit.rlim_max == RLIM_INFINITY ? wanted : std::min(limit.rlim_max, wanted);
    if (limit.rlim_cur < target) {
        limit.rlim_cur = target;
        (void)::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

std::string linkText(int folderFd, const std::string &name)
{
    std::vector<char> buffer(4096);
    for (;;) {
        const ssize_t n = ::readlinkat(folderFd, name.c_str(), buffer.data(), buffer.size());
        if (n < 0)
            return {};
        if (static_cast<std::size_t>(n) < buffer.size())
            return std::string(buffer.data(), static_cast<std::size_t>(n));
        buffer.resize(buffer.size() * 2);
    }
}

} // namespace drovanta::engine::posix
