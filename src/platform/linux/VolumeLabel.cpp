#include "platform/linux/VolumeLabel.h"

#include "platform/OwnedHandle.h"

#include <algorithm>
#include <array>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

// Older kernel headers lack the generic label ioctl although the running
// kernel may well answer it; the number is part of the kernel's ABI.
#ifndef FSLABEL_MAX
#define FSLABEL_MAX 256
#endif
#ifndef FS_IOC_GETFSLABEL
#define FS_IOC_GETFSLABEL _IOR(0x94, 49, char[FSLABEL_MAX])
#endif

namespace drovanta::platform {

namespace fs = std::filesystem;

namespace {

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}


} // namespace

std::string decodeUdevName(std::string_view name)
{
    std::string decoded;
    decoded.reserve(name.size());
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (name[i] == '\\' && i + 3 < name.size() && name[i + 1] == 'x') {
            const int high = hexValue(name[i + 2]);
            const int low = hexValue(name[i + 3]);
            if (high >= 0 && low >= 0) {
                decoded.push_back(static_cast<char>(high * 16 + low));
                i += 3;
                continue;
            }
        }
        decoded.push_back(name[i]);
    }
    return decoded;
}

std::string labelFromFilesystem(const fs::path &mountPoint)
{
    // O_PATH descriptors refuse ioctl; a plain read-only open of a folder
    // needs only search permission on the way there.
    const OwnedFd fd(::open(mountPoint.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK));
    if (fd.get() < 0)
        return {};
    std::array<char, FSLABEL_MAX + 1> label{};
    if (::ioctl(fd.get(), FS_IOC_GETFSLABEL, label.data()) != 0)
        return {};
    label.back() = '\0';
    return std::string(label.data());
}

std::string labelFromLinks(const fs::path &byLabelFolder, const std::vector<std::string> &deviceNames, dev_t device)
{
    std::error_code error;
    for (fs::directory_iterator it(byLabelFolder, error), end; !error && it != end; it.increment(error)) {
        const fs::directory_entry &link = *it;
        std::error_code linkError;
        if (!link.is_symlink(linkError))
            continue;
        const fs::path target = fs::read_symlink(link.path(), linkError);
        if (linkError)
            continue;
        const std::string targetName = target.filename().string();
        bool matches = !targetName.empty() && std::find(deviceNames.begin(), deviceNames.end(), targetName) != deviceNames.end();
        if (!matches && device != 0) {
            struct stat node {};
            matches = ::stat(link.path().c_str(), &node) == 0 && S_ISBLK(node.st_mode) && node.st_rdev == device;
        }
        if (matches)
            return decodeUdevName(link.path().filename().string());
    }
    return {};
}

} // namespace drovanta::platform
