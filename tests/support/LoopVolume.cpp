#include "LoopVolume.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
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

LoopVolume::LoopVolume(int megabytes, const std::string &label, const std::string &name, int reservedPercent)
{
    if (::geteuid() != 0) {
        m_error = "mounting a loop volume needs root";
        return;
    }
    std::string pattern = (fs::temp_directory_path() / "drovanta-volume-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
        m_error = "cannot create a temporary folder";
        return;
    }
    m_folder = pattern;
    const std::string image = (fs::path(m_folder) / "volume.img").string();
    m_mountPoint = (fs::path(m_folder) / name).string();
    std::error_code ec;
    fs::create_directories(m_mountPoint, ec);
    if (run({"truncate", "-s", std::to_string(megabytes) + "M", image}) != 0) {
        m_error = "cannot create an image file in " + m_folder;
        return;
    }
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

LoopVolume::~LoopVolume()
{
    if (m_mounted && run({"umount", m_mountPoint}) != 0 && run({"umount", "-l", m_mountPoint}) != 0)
        return; // deleting through a mount still there would wipe the volume, not our folder
    if (!m_folder.empty()) {
        std::error_code ignored;
        fs::remove_all(m_folder, ignored);
    }
}

} // namespace drovanta::testing
