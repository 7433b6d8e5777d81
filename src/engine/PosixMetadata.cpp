#include "engine/PosixMetadata.h"

#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace drovanta::engine::posix {

namespace {

constexpr std::string_view accessAcl = "system.posix_acl_access";
constexpr std::string_view defaultAcl = "system.posix_acl_default";
// The largest value Linux lets an attribute hold.
constexpr std::size_t largestValue = 64 * 1024;

// Attributes that belong to the filesystem or the security policy of the
// source system rather than to the file: other "system." names (NFSv4 ACLs,
// data the filesystem shows as attributes), the SELinux label, which the
// target system's policy assigns, and EVM's signature of the source inode.
bool isKeptName(std::string_view name)
{
    if (name.starts_with("system."))
        return name == accessAcl || name == defaultAcl;
    return name != "security.selinux" && name != "security.evm";
}

bool isAcl(std::string_view name)
{
    return name == accessAcl || name == defaultAcl;
}

// The names of the source's attributes, or an empty list (none, or none readable).
bool listNames(int fd, std::vector<char> &names)
{
    for (;;) {
        const ssize_t size = ::flistxattr(fd, nullptr, 0);
        if (size <= 0)
            return false;
        names.resize(static_cast<std::size_t>(size));
        const ssize_t got = ::flistxattr(fd, names.data(), names.size());
        if (got >= 0) {
            names.resize(static_cast<std::size_t>(got));
            return got > 0;
        }
        if (errno != ERANGE)
            return false;
    }
}

// Copies the extended attributes and ACLs; fails only when the destination does.
Error copyAttributes(RunContext &run, int sourceFd, int targetFd, bool inheritsAcls, bool folder)
{
    thread_local std::vector<char> names;
    thread_local std::vector<char> value(largestValue);
    bool hasAccessAcl = false;
    bool hasDefaultAcl = false;
    bool attributesLost = false;
    bool aclsLost = false;
    if (sourceFd >= 0 && listNames(sourceFd, names)) {
        for (std::size_t at = 0; at < names.size();) {
            const std::string_view name(names.data() + at);
            at += name.size() + 1;
            if (name.empty() || !isKeptName(name))
                continue;
            const bool acl = isAcl(name);
            hasAccessAcl = hasAccessAcl || name == accessAcl;
            hasDefaultAcl = hasDefaultAcl || name == defaultAcl;
            bool &lost = acl ? aclsLost : attributesLost;
            if (!run.destination.holdsAttributes) {
                lost = true;
                continue;
            }
            const ssize_t size = ::fgetxattr(sourceFd, name.data(), value.data(), value.size());
            if (size < 0)
                continue; // removed meanwhile, or not readable: nothing to keep
            if (::fsetxattr(targetFd, name.data(), value.data(), static_cast<std::size_t>(size), 0) != 0) {
                if (isDestinationFatal(errno))
                    return lastError("set extended attributes");
                lost = true;
            }
        }
    }
    if (inheritsAcls && run.destination.holdsAttributes) {
        if (!hasAccessAcl)
            (void)::fremovexattr(targetFd, accessAcl.data());
        if (folder && !hasDefaultAcl)
            (void)::fremovexattr(targetFd, defaultAcl.data());
    }
    if (attributesLost)
        run.note(NoteKind::ExtendedAttributes);
    if (aclsLost)
        run.note(NoteKind::AccessControlLists);
    return {};
}

// The kept attributes of the item at `path` (not followed), sorted by name,
// each as name and value. False when they cannot be read.
bool keptAttributes(const std::string &path, std::vector<std::pair<std::string, std::string>> &attributes)
{
    // Made once per thread: a comparison asks this of every item on both
    // sides, and clearing 64 KiB each time cost more than the asking.
    thread_local std::vector<char> names(1024);
    thread_local std::vector<char> value(largestValue);
    ssize_t size = 0;
    for (;;) {
        size = ::llistxattr(path.c_str(), names.data(), names.size());
        if (size >= 0)
            break;
        if (errno == ENOTSUP)
            return true; // the filesystem keeps none
        if (errno != ERANGE)
            return false;
        const ssize_t needed = ::llistxattr(path.c_str(), nullptr, 0);
        if (needed < 0)
            return false;
        names.resize(static_cast<std::size_t>(needed) + 1);
    }
    for (std::size_t at = 0; at < static_cast<std::size_t>(size);) {
        const std::string_view name(names.data() + at);
        at += name.size() + 1;
        if (name.empty() || !isKeptName(name))
            continue;
        const ssize_t length = ::lgetxattr(path.c_str(), name.data(), value.data(), value.size());
        if (length < 0)
            return false;
        attributes.emplace_back(std::string(name), std::string(value.data(), static_cast<std::size_t>(length)));
    }
    std::sort(attributes.begin(), attributes.end());
    return true;
}

std::string pathThrough(int folderFd, const std::string &name)
{
    return "/proc/self/fd/" + std::to_string(folderFd) + "/" + name;
}

} // namespace

bool sameAttributes(int folderFd, const std::string &name, int otherFolderFd, const std::string &otherName)
{
    std::vector<std::pair<std::string, std::string>> one;
    std::vector<std::pair<std::string, std::string>> other;
    return keptAttributes(pathThrough(folderFd, name), one)
        && keptAttributes(pathThrough(otherFolderFd, otherName), other) && one == other;
}

Error applyMetadata(RunContext &run, int sourceFd, int targetFd, const struct stat &source, bool inheritsAcls,
                    bool modeSet)
{
    const Destination &destination = run.destination;
    bool ownersLost = false;
    if (run.asRoot && (source.st_uid != run.uid || source.st_gid != run.gid)) {
        if (!destination.keepsOwners) {
            ownersLost = true;
        } else if (::fchown(targetFd, source.st_uid, source.st_gid) != 0) {
            if (isDestinationFatal(errno))
                return lastError("set owner");
            ownersLost = true;
        }
    }
    if (!destination.keepsModes) {
        ownersLost = true;
    } else if (!modeSet && ::fchmod(targetFd, source.st_mode & 07777) != 0) {
        if (isDestinationFatal(errno))
            return lastError("set permissions");
        ownersLost = true;
    }
    if (ownersLost)
        run.note(NoteKind::OwnersAndPermissions);
    if (const Error error = copyAttributes(run, sourceFd, targetFd, inheritsAcls, S_ISDIR(source.st_mode)))
        return error;
    const struct timespec times[2] = {source.st_atim, source.st_mtim};
    if (::futimens(targetFd, times) != 0) {
        if (isDestinationFatal(errno))
            return lastError("set times");
        run.note(NoteKind::Times);
    }
    return {};
}

} // namespace drovanta::engine::posix
