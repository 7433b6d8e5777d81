// What a run would write, measured on trees deeper than any descriptor limit.
#include "engine/CopyEngine.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// A folder on a tmpfs where the system allows one (a disk takes minutes to
// delete a deep chain; a tmpfs is gone with its unmount).
class DeepFolder : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_path = (fs::temp_directory_path() / ("drovanta-facts-" + std::to_string(::getpid()))).string();
        fs::create_directory(m_path);
        m_mounted = ::geteuid() == 0 && ::mount("none", m_path.c_str(), "tmpfs", 0, "size=512m") == 0;
    }
    void TearDown() override
    {
        if (m_mounted)
            ::umount2(m_path.c_str(), MNT_DETACH);
        else
            removeChain();
        ::rmdir(m_path.c_str());
    }

    // Removes the chain of folders "d" below m_path: down by name, back up
    // through "..", one descriptor at a time.
    void removeChain()
    {
        int fd = ::open(m_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        int depth = 0;
        for (int next; fd >= 0 && (next = ::openat(fd, "d", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)) >= 0;
             ++depth) {
            ::close(fd);
            fd = next;
        }
        for (; fd >= 0; --depth) {
            (void)::unlinkat(fd, "f", 0);
            (void)::unlinkat(fd, "l", 0);
            if (depth == 0)
                break;
            const int parent = ::openat(fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            ::close(fd);
            fd = parent;
            if (fd >= 0)
                (void)::unlinkat(fd, "d", AT_REMOVEDIR);
        }
        if (fd >= 0)
            ::close(fd);
    }

    std::string m_path;
    bool m_mounted = false;
};

// What a full copy of the folder writes.
std::uint64_t measured(const std::string &folder)
{
    drovanta::engine::Params params;
    params.source = folder;
    params.sourceRoot = folder;
    params.targetRoot = fs::temp_directory_path().string();
    params.target = params.targetRoot + "/drovanta-no-such-backup";
    const std::atomic<bool> stop{false};
    const auto bytes = drovanta::engine::NativeCopyEngine().measure(params, stop);
    EXPECT_TRUE(bytes.has_value());
    return bytes.value_or(0);
}

constexpr std::uint64_t folderBlock = 4096;

} // namespace

TEST_F(DeepFolder, AMeasureCountsEveryFileOfA100000LevelChainWithFewDescriptors)
{
    constexpr int levels = 100'000;
    int fd = ::open(m_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::symlinkat("/etc/passwd", fd, "l"), 0) << "a link is not followed";
    for (int level = 0; level < levels; ++level) {
        if (level % 1000 == 0) {
            const int file = ::openat(fd, "f", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
            ASSERT_GE(file, 0);
            ASSERT_EQ(::write(file, "abc", 3), 3);
            ::close(file);
        }
        ASSERT_EQ(::mkdirat(fd, "d", 0755), 0);
        const int next = ::openat(fd, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::close(fd);
        ASSERT_GE(next, 0);
        fd = next;
    }
    ::close(fd);
    rlimit saved {};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    const rlimit few{256, saved.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &few), 0);

    const std::uint64_t bytes = measured(m_path);

    ::setrlimit(RLIMIT_NOFILE, &saved);
    struct stat one {};
    ASSERT_EQ(::stat((m_path + "/f").c_str(), &one), 0);
    // The data of every file, and a block for each folder and the backup folder.
    EXPECT_EQ(bytes, static_cast<std::uint64_t>(one.st_blocks) * 512 * (levels / 1000) + (levels + 1) * folderBlock);
}

// The room a copy takes: a sparse file's holes take none, and a file with two
// names is copied once (the backup keeps them as links).
TEST_F(DeepFolder, AMeasureCountsAllocatedBytesAndAFileWithTwoNamesOnce)
{
    const std::string sparse = m_path + "/disk.img";
    const int fd = ::open(sparse.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, "data", 4, 1LL << 30), 4);
    ::close(fd);
    ASSERT_EQ(::link(sparse.c_str(), (m_path + "/same-disk.img").c_str()), 0);
    struct stat info {};
    ASSERT_EQ(::stat(sparse.c_str(), &info), 0);

    EXPECT_EQ(measured(m_path), static_cast<std::uint64_t>(info.st_blocks) * 512 + folderBlock);
    EXPECT_LT(info.st_blocks * 512, 1LL << 20) << "this filesystem keeps no holes";
}
