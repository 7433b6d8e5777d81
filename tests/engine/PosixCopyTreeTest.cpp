// What a copy keeps on POSIX beyond CopyTreeTest.cpp: links, odd names,
// paths past PATH_MAX, FIFOs and sockets, mount points.
#include "EngineTestSupport.h"
#include "PosixTestSupport.h"

#include "engine/CopyEngine.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

using namespace drovanta::engine;
using namespace drovanta::engine::testing;

namespace {

class PosixCopyTree : public EngineTest {
protected:
    PosixCopyTree() { m_target = m_temp / "Backup 01-02-2025/source"; }
    // The copier makes the backup folder; the engine makes only the copy of
    // the top-level folder inside it.
    void SetUp() override
    {
        EngineTest::SetUp();
        makeFolder(m_temp / "Backup 01-02-2025");
    }
};

} // namespace

TEST_F(PosixCopyTree, CopiesNamesWithNewlinesSpacesInvalidUtf8AndTheLongestAllowedName)
{
    const std::vector<std::string> names = {"line\nbreak", " leading and trailing ", "bad\xff\xfe utf8",
                                            std::string(255, 'n'), "-dash", "*?[]\\"};
    for (const auto &name : names)
        writeFile(m_source + "/" + name, "content of " + name);
    ASSERT_EQ(::mkdir((m_source + "/folder\nwith\xc3\x28 newline").c_str(), 0755), 0);
    writeFile(m_source + "/folder\nwith\xc3\x28 newline/" + std::string(255, 'x'), "deep");

    const Result result = copyTree(m_source, m_target);

    EXPECT_TRUE(result.ok()) << describe(result);
    EXPECT_EQ(result.files, names.size() + 1);
    EXPECT_EQ(compareTrees(m_source, m_target), std::vector<std::string>{});
}

// The files of a folder are copied in the order the folder lists them, also
// when it lists more than the walk hands over at once: the progress follows
// the listing.
TEST_F(PosixCopyTree, CopiesTheFilesOfAFolderInTheOrderItListsThem)
{
    for (int i = 0; i < 1000; ++i)
        writeFile(m_source + "/file" + std::to_string(i), "x");
    std::vector<std::string> listed;
    DIR *folder = ::opendir(m_source.c_str());
    ASSERT_NE(folder, nullptr);
    while (const dirent *entry = ::readdir(folder)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            listed.emplace_back(entry->d_name);
    }
    ::closedir(folder);
    struct Recorder final : ProgressSink {
        std::vector<std::string> names;
        void fileCopied(const std::string &path, std::uint64_t) override
        {
            names.push_back(path.substr(path.rfind('/') + 1));
        }
    } copied;
    Params params;
    params.source = m_source;
    params.target = m_target;
    params.workers = 1;

    const Result result = m_engine.copyTree(params, copied, m_stop);

    EXPECT_TRUE(result.ok()) << describe(result);
    EXPECT_EQ(copied.names, listed);
}

TEST_F(PosixCopyTree, CopiesPathsLongerThanPathMax)
{
    // Built with a descriptor chain: no absolute path this long can be opened.
    const std::string component(200, 'd');
    int fd = ::open(m_source.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    const int levels = PATH_MAX / static_cast<int>(component.size()) + 3;
    for (int level = 0; level < levels; ++level) {
        ASSERT_EQ(::mkdirat(fd, component.c_str(), 0755), 0);
        const int next = ::openat(fd, component.c_str(), O_RDONLY | O_DIRECTORY);
        ::close(fd);
        ASSERT_GE(next, 0);
        fd = next;
    }
    const int file = ::openat(fd, "bottom.txt", O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(file, 0);
    ASSERT_EQ(::write(file, "at the bottom", 13), 13);
    ::close(file);
    ::close(fd);

    const Result result = copyTree(m_source, m_target);

    EXPECT_TRUE(result.ok()) << describe(result);
    EXPECT_EQ(result.files, 1u);
    EXPECT_EQ(result.folders, static_cast<std::uint64_t>(levels) + 1);
    EXPECT_EQ(compareTrees(m_source, m_target), std::vector<std::string>{});
}

TEST_F(PosixCopyTree, CopiesSymlinkLoopsAndLinksLeavingTheSourceAsLinksWithoutFollowingThem)
{
    ASSERT_EQ(::mkdir((m_source + "/inner").c_str(), 0755), 0);
    ASSERT_EQ(::symlink("b", (m_source + "/a").c_str()), 0);
    ASSERT_EQ(::symlink("a", (m_source + "/b").c_str()), 0);
    ASSERT_EQ(::symlink("..", (m_source + "/inner/up").c_str()), 0);
    ASSERT_EQ(::symlink("/", (m_source + "/inner/root").c_str()), 0);
    ASSERT_EQ(::symlink("/etc/passwd", (m_source + "/passwd").c_str()), 0);

    const Result result = copyTree(m_source, m_target);

    EXPECT_TRUE(result.ok()) << describe(result);
    EXPECT_EQ(result.links, 5u);
    EXPECT_EQ(result.files, 0u);
    EXPECT_EQ(compareTrees(m_source, m_target), std::vector<std::string>{});
}

TEST_F(PosixCopyTree, RecreatesFifosAndListsSocketsAsNotCopiedByDesign)
{
    ASSERT_EQ(::mkfifo((m_source + "/pipe").c_str(), 0644), 0);
    const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(sock, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string socketPath = m_source + "/socket";
    ASSERT_LT(socketPath.size(), sizeof address.sun_path);
    std::strcpy(address.sun_path, socketPath.c_str());
    ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    writeFile(m_source + "/regular", "data");

    const Result result = copyTree(m_source, m_target);
    ::close(sock);

    EXPECT_TRUE(result.failures.empty()) << describe(result);
    EXPECT_EQ(result.files, 1u);
    EXPECT_EQ(result.specials, 1u);
    EXPECT_EQ(result.skipped, (std::vector<SkippedItem>{{socketPath, SkipReason::Socket}})) << describe(result);
    EXPECT_EQ(compareTrees(m_source, m_target, {socketPath}), std::vector<std::string>{});
}

TEST_F(PosixCopyTree, CreatesAMountPointInsideTheSourceEmptyWithoutEnteringIt)
{
    if (!canMount())
        GTEST_SKIP() << "mounting a tmpfs needs root and permission to mount";
    const std::string mountPoint = m_source + "/mounted";
    ASSERT_EQ(::mkdir(mountPoint.c_str(), 0755), 0);
    ASSERT_EQ(::mount("none", mountPoint.c_str(), "tmpfs", 0, "size=4m"), 0);
    writeFile(mountPoint + "/on-other-filesystem", "not part of this drive");
    writeFile(m_source + "/own", "part of this drive");

    const Result result = copyTree(m_source, m_target);
    ::umount(mountPoint.c_str());

    EXPECT_TRUE(result.failures.empty()) << describe(result);
    EXPECT_EQ(result.files, 1u);
    EXPECT_EQ(readFile(m_target + "/own"), "part of this drive");
    const struct stat copied = statOf(m_target + "/mounted");
    EXPECT_TRUE(S_ISDIR(copied.st_mode));
    EXPECT_EQ(::access((m_target + "/mounted/on-other-filesystem").c_str(), F_OK), -1);
    EXPECT_EQ(result.skipped, (std::vector<SkippedItem>{{mountPoint, SkipReason::OtherDrive}}));
}

TEST_F(PosixCopyTree, CopyFileCopiesALinkAsALink)
{
    writeFileWithMode(m_source + "/report.txt", "report", 0640);
    ASSERT_EQ(::symlink("report.txt", (m_source + "/latest").c_str()), 0);
    const std::string backup = m_temp / "Backup";
    Params params;
    params.target = backup;
    params.atDriveRoot = true;

    params.source = m_source + "/latest";
    const Result link = m_engine.copyFile(params, m_progress, m_stop);

    EXPECT_TRUE(link.ok()) << describe(link);
    EXPECT_EQ(link.links, 1u);
    EXPECT_EQ(link.files, 0u);
    EXPECT_EQ(compareTrees(m_source, backup, {m_source + "/report.txt"}), std::vector<std::string>{});
}
