#include "engine/PosixDestination.h"

#include "engine/PosixSupport.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <locale.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <cwctype>
#include <fstream>
#include <sstream>

#ifndef FS_CASEFOLD_FL
#define FS_CASEFOLD_FL 0x40000000
#endif
#ifndef STATX_MNT_ID_UNIQUE
#define STATX_MNT_ID_UNIQUE 0x00004000U
#endif

namespace drovanta::engine::posix {

namespace {

constexpr long exfatMagic = 0x2011BAB0;
constexpr long ntfsMagic = 0x5346544e;
constexpr long ntfs3Magic = 0x7366746e;
constexpr long xfsMagic = 0x58465342;
constexpr long fuseMagic = 0x65735546;
constexpr std::uint64_t fatLargestFile = 0xFFFFFFFFull;

std::string unescapeMountField(const std::string &field)
{
    std::string text;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] >= '0' && field[i + 1] <= '3') {
            text += static_cast<char>(((field[i + 1] - '0') << 6) | ((field[i + 2] - '0') << 3) | (field[i + 3] - '0'));
            i += 3;
        } else {
            text += field[i];
        }
    }
    return text;
}

// The type and source that the mount table gives the filesystem of `device`.
void mountOf(dev_t device, std::string &type, std::string &source)
{
    std::ifstream table("/proc/self/mountinfo");
    const std::string wanted = std::to_string(major(device)) + ":" + std::to_string(minor(device));
    std::string line;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string id, parent, numbers, word;
        if (!(fields >> id >> parent >> numbers) || numbers != wanted)
            continue;
        while (fields >> word && word != "-") {
        }
        std::string lineType, lineSource;
        if (fields >> lineType >> lineSource) {
            type = lineType; // the last line wins: it is mounted over the earlier ones
            source = unescapeMountField(lineSource);
        }
    }
}

// The filesystem named in the boot sector of the volume `source` (a device
// or an image file), for user-space drivers that the kernel calls "fuse".
std::string bootSectorName(const std::string &source)
{
    if (source.empty() || source[0] != '/')
        return {};
    UniqueFd volume(::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    char sector[512] = {};
    if (!volume.valid() || ::pread(volume.get(), sector, sizeof sector, 0) != static_cast<ssize_t>(sizeof sector))
        return {};
    const auto at = [&](std::size_t offset, const char *text) {
        return std::memcmp(sector + offset, text, std::strlen(text)) == 0;
    };
    if (at(3, "EXFAT   "))
        return "exFAT";
    if (at(3, "NTFS    "))
        return "NTFS";
    if (at(82, "FAT32   "))
        return "FAT32";
    if (at(54, "FAT16   "))
        return "FAT16";
    if (at(54, "FAT12   "))
        return "FAT12";
    return {};
}

std::string nameOfFuse(const std::string &type, const std::string &source)
{
    if (std::string fromVolume = bootSectorName(source); !fromVolume.empty())
        return fromVolume;
    const std::string subtype = type.starts_with("fuse.") ? type.substr(5) : std::string();
    if (subtype == "fusefat")
        return "FAT32";
    if (subtype.starts_with("exfat"))
        return "exFAT";
    if (subtype.starts_with("ntfs"))
        return "NTFS";
    return subtype;
}

std::string filesystemName(int fd, const struct statfs &info, bool &mayFoldFolders)
{
    struct stat self {};
    std::string type;
    std::string source;
    const auto mounted = [&] {
        if (::fstat(fd, &self) == 0)
            mountOf(self.st_dev, type, source);
    };
    switch (static_cast<long>(info.f_type)) {
    case MSDOS_SUPER_MAGIC: {
        mounted();
        const std::string name = bootSectorName(source);
        return name.empty() ? "FAT32" : name;
    }
    case exfatMagic:
        return "exFAT";
    case ntfsMagic:
    case ntfs3Magic:
        return "NTFS";
    case EXT4_SUPER_MAGIC:
        mayFoldFolders = true;
        mounted();
        return type.empty() ? "ext4" : type;
    case F2FS_SUPER_MAGIC:
        mayFoldFolders = true;
        return "F2FS";
    case TMPFS_MAGIC:
        mayFoldFolders = true;
        return "tmpfs";
    case xfsMagic:
        return "XFS";
    case BTRFS_SUPER_MAGIC:
        return "Btrfs";
    case fuseMagic:
        mounted();
        return nameOfFuse(type, source);
    default:
        mounted();
        return type;
    }
}

std::string upperAscii(std::string text)
{
    for (char &c : text) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}

bool isAttributeUnsupported(int code)
{
    return code == ENOTSUP || code == EOPNOTSUPP || code == ENOSYS;
}

// Whether the probe file takes `mode` and keeps it.
bool keeps(int fd, mode_t mode)
{
    struct stat info {};
    return ::fchmod(fd, mode) == 0 && ::fstat(fd, &info) == 0 && (info.st_mode & 07777) == mode;
}

// What the filesystem of folder `targetFd` keeps.
Destination probeFilesystem(int targetFd, bool asRoot)
{
    Destination destination;
    struct statfs info {};
    if (::fstatfs(targetFd, &info) == 0)
        destination.filesystem = filesystemName(targetFd, info, destination.mayFoldFolders);
    if (destination.filesystem.starts_with("FAT"))
        destination.largestFile = fatLargestFile;

    const std::string name = makeTemporaryName();
    UniqueFd probe(::openat(targetFd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!probe.valid())
        return destination; // the copy itself will say what is wrong
    struct stat same {};
    destination.foldsCase = ::fstatat(targetFd, upperAscii(name).c_str(), &same, AT_SYMLINK_NOFOLLOW) == 0
        || folderFoldsCase(destination, targetFd);
    destination.keepsModes = keeps(probe.get(), 0640) && keeps(probe.get(), 0604);
    if (asRoot) {
        struct stat before {};
        struct stat after {};
        destination.keepsOwners = ::fstat(probe.get(), &before) == 0
            && ::fchown(probe.get(), before.st_uid + 1, before.st_gid + 1) == 0 && ::fstat(probe.get(), &after) == 0
            && after.st_uid == before.st_uid + 1 && after.st_gid == before.st_gid + 1;
    }
    if (::fsetxattr(probe.get(), "user.drovanta-probe", "1", 1, 0) != 0 && isAttributeUnsupported(errno))
        destination.holdsAttributes = false;
    probe.reset();
    (void)::unlinkat(targetFd, name.c_str(), 0);
    destination.unnamedFiles = probeUnnamedFiles(targetFd);
    return destination;
}

} // namespace

Destination destinationByType(int folderFd)
{
    Destination destination;
    struct statfs info {};
    if (::fstatfs(folderFd, &info) == 0)
        destination.filesystem = filesystemName(folderFd, info, destination.mayFoldFolders);
    // Windows' filesystems as their user-space drivers show them: what a
    // probe finds there (a mode or owner set is not kept, no attributes).
    const std::string &type = destination.filesystem;
    if (type.starts_with("FAT") || type == "exFAT") {
        destination.keepsModes = false;
        destination.keepsOwners = false;
        destination.holdsAttributes = false;
        destination.largestFile = type.starts_with("FAT") ? fatLargestFile : 0;
    }
    return destination;
}

Destination probeDestination(int targetFd, bool asRoot)
{
    Destination destination = probeFilesystem(targetFd, asRoot);
    // The folder's own: new items inherit its default access control list.
    destination.inheritsAcls = ::fgetxattr(targetFd, "system.posix_acl_default", nullptr, 0) > 0;
    return destination;
}

bool folderFoldsCase(const Destination &destination, int fd)
{
    if (!destination.mayFoldFolders)
        return false;
    int flags = 0;
    return ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_CASEFOLD_FL) != 0;
}

std::string foldedName(std::string_view name)
{
    static const locale_t utf8 = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    std::string folded;
    folded.reserve(name.size());
    std::size_t i = 0;
    while (i < name.size()) {
        const auto byte = static_cast<unsigned char>(name[i]);
        if (byte < 0x80) {
            folded += (byte >= 'A' && byte <= 'Z') ? static_cast<char>(byte - 'A' + 'a') : static_cast<char>(byte);
            ++i;
            continue;
        }
        // One UTF-8 sequence, lowered as a whole; anything else is kept byte for byte.
        const std::size_t length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
        char32_t code = length == 4 ? byte & 0x07u : length == 3 ? byte & 0x0Fu : byte & 0x1Fu;
        bool valid = length > 1 && i + length <= name.size();
        for (std::size_t k = 1; valid && k < length; ++k) {
            const auto next = static_cast<unsigned char>(name[i + k]);
            valid = (next & 0xC0) == 0x80;
            code = (code << 6) | (next & 0x3Fu);
        }
        if (!valid || utf8 == static_cast<locale_t>(nullptr)) {
            folded += name[i];
            ++i;
            continue;
        }
        const auto lowered = static_cast<char32_t>(::towlower_l(static_cast<wint_t>(code), utf8));
        if (lowered < 0x80) {
            folded += static_cast<char>(lowered);
        } else if (lowered < 0x800) {
            folded += static_cast<char>(0xC0 | (lowered >> 6));
            folded += static_cast<char>(0x80 | (lowered & 0x3F));
        } else if (lowered < 0x10000) {
            folded += static_cast<char>(0xE0 | (lowered >> 12));
            folded += static_cast<char>(0x80 | ((lowered >> 6) & 0x3F));
            folded += static_cast<char>(0x80 | (lowered & 0x3F));
        } else {
            folded += static_cast<char>(0xF0 | (lowered >> 18));
            folded += static_cast<char>(0x80 | ((lowered >> 12) & 0x3F));
            folded += static_cast<char>(0x80 | ((lowered >> 6) & 0x3F));
            folded += static_cast<char>(0x80 | (lowered & 0x3F));
        }
        i += length;
    }
    return folded;
}

bool isRefusedByWindowsFilesystems(std::string_view name)
{
    if (name.empty() || name == "." || name == "..")
        return false;
    for (const char c : name) {
        if (static_cast<unsigned char>(c) < 0x20 || std::strchr("\"*/:<>?\\|", c) != nullptr)
            return true;
    }
    return name.back() == '.' || name.back() == ' ';
}

std::string tooLargeReason(const Destination &destination)
{
    std::string reason = "too large for this drive's filesystem";
    if (destination.largestFile == fatLargestFile)
        reason += " (" + destination.filesystem + " holds files up to 4 GiB)";
    return reason;
}

} // namespace drovanta::engine::posix
