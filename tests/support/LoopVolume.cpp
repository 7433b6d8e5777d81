#include "LoopVolume.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace drovanta::testing {
namespace {

// Runs a program with its output silenced: its exit status, or 127 when it
// could not be started. No shell, so names with blanks need no quoting.
int run(const std::vector<std::string> &arguments)
{
    const pid_t child = ::fork();
    if (child < 0)
        return 127;
    if (child == 0) {
        const int devNull = ::open("/dev/null", O_WRONLY);
        if (devNull >= 0) {
            ::dup2(devNull, STDOUT_FILENO);
            ::dup2(devNull, STDERR_FILENO);
        }
        std::vector<char *> argv;
        for (const std::string &argument : arguments)
            argv.push_back(const_cast<char *>(argument.c_str()));
        argv.push_back(nullptr);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    if (::waitpid(child, &status, 0) != child || !WIFEXITED(status))
        return 127;
    return WEXITSTATUS(status);
}

} // namespace

bool LoopVolume::prepare(int megabytes, const std::string &name, std::string &image)
{
    if (::geteuid() != 0) {
        m_error = "mounting a loop volume needs root";
        return false;
    }
    std::string pattern = (fs::temp_directory_path() / "drovanta-volume-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
        m_error = "cannot create a temporary folder";
        return false;
    }
    m_folder = pattern;
    image = (fs::path(m_folder) / "volume.img").string();
    m_mountPoint = (fs::path(m_folder) / name).string();
    std::error_code ec;
    fs::create_directories(m_mountPoint, ec);
    if (run({"truncate", "-s", std::to_string(megabytes) + "M", image}) != 0) {
        m_error = "cannot create an image file in " + m_folder;
        return false;
    }
    return true;
}

LoopVolume::LoopVolume(int megabytes, const std::string &label, const std::string &name, int reservedPercent)
{
    mountExt4(megabytes, label, name, reservedPercent);
}

void LoopVolume::mountExt4(int megabytes, const std::string &label, const std::string &name, int reservedPercent)
{
    std::string image;
    if (!prepare(megabytes, name, image))
        return;
    std::vector<std::string> mkfs{"mkfs.ext4", "-q", "-F", "-m", std::to_string(reservedPercent)};
    if (!label.empty())
        mkfs.insert(mkfs.end(), {"-L", label});
    mkfs.push_back(image);
    const int made = run(mkfs);
    if (made != 0) {
        m_error = made == 127 ? "mkfs.ext4 is not installed (e2fsprogs)" : "mkfs.ext4 failed";
        return;
    }
    if (run({"mount", "-o", "loop", image, m_mountPoint}) != 0) {
        m_error = "loop devices cannot be mounted here";
        return;
    }
    m_mounted = true;
}

bool LoopVolume::unmount()
{
    if (m_mounted && run({"umount", m_mountPoint}) == 0)
        m_mounted = false;
    return !m_mounted;
}

bool LoopVolume::detach()
{
    if (m_mounted && run({"umount", "-l", m_mountPoint}) == 0)
        m_mounted = false;
    return !m_mounted;
}

LoopVolume::LoopVolume(Filesystem filesystem, int megabytes)
{
    if (filesystem == Filesystem::Ext4) {
        mountExt4(megabytes, {}, "volume", 0);
        return;
    }
    std::string image;
    if (!prepare(megabytes, "volume", image))
        return;
    if (::access("/dev/fuse", R_OK | W_OK) != 0) {
        m_error = "/dev/fuse is not usable here";
        return;
    }
    struct Way {
        std::vector<std::string> mkfs;
        const char *package;
    };
    const Way way = filesystem == Filesystem::ExFat ? Way{{"mkfs.exfat", image}, "exfatprogs and exfat-fuse"}
        : filesystem == Filesystem::Fat32           ? Way{{"mkfs.vfat", "-F", "32", image}, "dosfstools and fusefat"}
                                                    : Way{{"mkfs.ntfs", "-F", "-f", "-q", image}, "ntfs-3g"};
    if (run(way.mkfs) != 0) {
        m_error = way.mkfs[0] + " failed or is missing (" + way.package + ")";
        return;
    }
    int mounted = 127;
    if (filesystem == Filesystem::ExFat) {
        // exfat-fuse wants a block device.
        const std::string listed = (fs::path(m_folder) / "loop").string();
        if (run({"sh", "-c", "losetup -f --show \"$0\" > \"$1\"", image, listed}) == 0) {
            std::ifstream(listed) >> m_loopDevice;
            mounted = run({"mount.exfat-fuse", m_loopDevice, m_mountPoint});
        }
    } else if (filesystem == Filesystem::Fat32) {
        mounted = run({"fusefat", "-o", "rw+", image, m_mountPoint});
    } else {
        mounted = run({"ntfs-3g", image, m_mountPoint});
    }
    if (mounted != 0) {
        m_error = std::string("the user-space driver could not mount the volume (") + way.package + ")";
        return;
    }
    m_fuse = true;
    m_mounted = true;
}

LoopVolume::~LoopVolume()
{
    if (m_mounted && m_fuse && run({"fusermount", "-u", m_mountPoint}) != 0
        && run({"umount", "-l", m_mountPoint}) != 0)
        return; // deleting through a mount still there would wipe the volume, not our folder
    if (m_mounted && !m_fuse && run({"umount", m_mountPoint}) != 0 && run({"umount", "-l", m_mountPoint}) != 0)
        return;
    if (!m_loopDevice.empty())
        (void)run({"losetup", "-d", m_loopDevice});
    if (!m_folder.empty()) {
        std::error_code ignored;
        fs::remove_all(m_folder, ignored);
    }
}

} // namespace drovanta::testing
