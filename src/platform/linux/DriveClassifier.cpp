#include "platform/linux/DriveClassifier.h"

#include "platform/linux/SysfsBlockDevice.h"

#include <algorithm>
#include <set>
#include <span>
#include <string_view>
#include <tuple>

namespace drovanta::platform {

namespace {

constexpr std::string_view opticalTypes[] = {"iso9660", "udf"};

constexpr std::string_view networkTypes[] = {
    "nfs", "nfs4", "cifs", "smb3", "smbfs", "ncpfs", "ncp", "afs", "ceph", "glusterfs", "9p", "coda",
    "lustre", "davfs", "fuse.sshfs", "fuse.davfs2", "fuse.glusterfs", "fuse.ceph-fuse", "fuse.rclone",
    "fuse.s3fs", "fuse.gcsfuse", "fuse.smbnetfs", "fuse.curlftpfs"};

constexpr std::string_view ramTypes[] = {"tmpfs", "ramfs"};

// Read-only images that sit on loop devices (snap packages, live systems):
// not places a user backs up from or to, although a block device backs them.
constexpr std::string_view imageTypes[] = {"squashfs", "erofs", "cramfs"};

bool contains(std::span<const std::string_view> list, std::string_view value)
{
    return std::find(list.begin(), list.end(), value) != list.end();
}

std::string_view kernelName(std::string_view path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

bool isOpticalDeviceName(std::string_view name)
{
    return name.size() > 2 && name.substr(0, 2) == "sr"
        && std::all_of(name.begin() + 2, name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string optionValue(const std::string &options, std::string_view key)
{
    std::size_t start = 0;
    while (start <= options.size()) {
        std::size_t end = options.find(',', start);
        if (end == std::string::npos)
            end = options.size();
        const std::string_view option(options.data() + start, end - start);
        if (option.size() > key.size() && option.substr(0, key.size()) == key && option[key.size()] == '=')
            return std::string(option.substr(key.size() + 1));
        start = end + 1;
    }
    return {};
}

// btrfs reports a subvolume mount (Ubuntu's "/@" and "/@home") with the
// subvolume as its root; only a folder below the subvolume is a bind mount.
std::string rootWithinFilesystem(const MountEntry &entry)
{
    if (entry.fsType == "btrfs") {
        const std::string subvolume = optionValue(entry.superOptions, "subvol");
        if (!subvolume.empty() && subvolume != "/" && entry.root.rfind(subvolume, 0) == 0) {
            const std::string rest = entry.root.substr(subvolume.size());
            if (rest.empty())
                return "/";
            if (rest.front() == '/')
                return rest;
        }
    }
    return entry.root;
}

} // namespace

DriveType classifyMount(const MountEntry &entry, const std::filesystem::path &sysRoot)
{
    const bool mountsDevicePath = entry.source.rfind("/dev/", 0) == 0;

    if (contains(opticalTypes, entry.fsType) || (mountsDevicePath && isOpticalDeviceName(kernelName(entry.source))))
        return DriveType::CdRom;
    if (contains(networkTypes, entry.fsType))
        return DriveType::Network;
    if (contains(ramTypes, entry.fsType))
        return DriveType::RamDisk;
    if (contains(imageTypes, entry.fsType))
        return DriveType::Unknown;

    if (const auto device = findBlockDevice(sysRoot, entry)) {
        if (isOpticalDeviceName(device->diskName))
            return DriveType::CdRom;
        return device->removable ? DriveType::Removable : DriveType::Fixed;
    }
    // A device node sysfs does not show (sysfs not mounted, a container):
    // still a disk the user put there.
    return mountsDevicePath ? DriveType::Fixed : DriveType::Unknown;
}

std::vector<MountEntry> driveMounts(const std::vector<MountEntry> &entries,
                                    const std::function<bool(const MountEntry &)> &shown)
{
    // A filesystem mounted on top of another hides it: the path reaches only
    // the later one, and one mount point must not stand for two drives.
    std::set<std::string> mountPointsSeenLater;
    std::vector<bool> hidden(entries.size(), false);
    for (std::size_t i = entries.size(); i-- > 0;)
        hidden[i] = !mountPointsSeenLater.insert(entries[i].mountPoint).second;

    std::vector<MountEntry> drives;
    std::set<std::tuple<unsigned, unsigned, std::string>> seen;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const MountEntry &entry = entries[i];
        if (hidden[i])
            continue;
        if (rootWithinFilesystem(entry) != "/")
            continue;
        if (shown && !shown(entry))
            continue;
        // The raw root tells apart btrfs subvolumes, which share one device number.
        if (!seen.emplace(entry.major, entry.minor, entry.root).second)
            continue;
        drives.push_back(entry);
    }
    return drives;
}

} // namespace drovanta::platform

