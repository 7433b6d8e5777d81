#include "platform/linux/SysfsBlockDevice.h"

#include <fstream>
#include <vector>

namespace drovanta::platform {

namespace fs = std::filesystem;

namespace {

std::optional<fs::path> resolvedFolder(const fs::path &link)
{
    std::error_code error;
    const fs::path folder = fs::canonical(link, error);
    if (error || !fs::is_directory(folder, error))
        return std::nullopt;
    return folder;
}

// udev and device-mapper put symlinks under /dev (/dev/mapper/root -> ../dm-0);
// sysfs only knows the kernel name at the end of the chain.
std::vector<std::string> kernelNameCandidates(const std::string &source)
{
    std::vector<std::string> names;
    if (source.rfind("/dev/", 0) != 0)
        return names;
    const fs::path path(source);
    names.push_back(path.filename().string());
    std::error_code error;
    if (fs::is_symlink(path, error)) {
        const fs::path target = fs::canonical(path, error);
        if (!error)
            names.push_back(target.filename().string());
    }
    return names;
}

std::optional<fs::path> deviceFolder(const fs::path &sysRoot, const MountEntry &entry)
{
    // Major 0 is the kernel's range of anonymous devices; no block device has it.
    if (entry.major != 0) {
        const std::string number = std::to_string(entry.major) + ":" + std::to_string(entry.minor);
        if (auto folder = resolvedFolder(sysRoot / "dev" / "block" / number))
            return folder;
    }
    for (const std::string &name : kernelNameCandidates(entry.source)) {
        if (name.empty())
            continue;
        if (auto folder = resolvedFolder(sysRoot / "class" / "block" / name))
            return folder;
    }
    return std::nullopt;
}

std::string firstLine(const fs::path &file)
{
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

bool fileSaysOne(const fs::path &file)
{
    std::ifstream in(file);
    char first = 0;
    return in.get(first) && first == '1';
}

} // namespace

std::optional<BlockDevice> findBlockDevice(const fs::path &sysRoot, const MountEntry &entry)
{
    const auto folder = deviceFolder(sysRoot, entry);
    if (!folder)
        return std::nullopt;

    // A partition's folder sits inside its disk's folder and has a "partition"
    // file; the removable flag belongs to the disk.
    std::error_code error;
    const bool isPartition = fs::exists(*folder / "partition", error);
    const fs::path disk = isPartition ? folder->parent_path() : *folder;

    BlockDevice device;
    device.name = folder->filename().string();
    device.diskName = disk.filename().string();
    device.removable = fileSaysOne(disk / "removable");
    device.number = firstLine(*folder / "dev");
    if (device.number.empty() && entry.major != 0)
        device.number = std::to_string(entry.major) + ":" + std::to_string(entry.minor);
    return device;
}

} // namespace drovanta::platform
