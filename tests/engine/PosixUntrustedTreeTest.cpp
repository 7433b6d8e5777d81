// A backup over trees that someone else can change, on POSIX: links planted
// in the backup folder or swapped in for source folders are replaced or
// copied as links, never followed; nothing is made above the copy of a
// top-level folder; a tree of any depth copies with bounded descriptors and
// memory.
#include "EngineTestSupport.h"
#include "PosixTestSupport.h"

#include "engine/CopyEngine.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

using namespace drovanta::engine;
using namespace drovanta::engine::testing;

namespace {

// The source drive, the destination with today's backup folder in it, and a
// folder outside both that planted links point to. The engine gets the roots
// and paths the copier gives it.
class UntrustedTree : public EngineTest {
protected:
    void SetUp() override
    {
        EngineTest::SetUp();
        makeFolder(m_destination);
        makeFolder(m_backup);
        makeFolder(m_outside);
        writeFileWithMode(m_outside + "/victim", "must stay", 0600);
        ASSERT_EQ(::chmod(m_outside.c_str(), 0700), 0);
        makeFolder(m_source + "/docs");
        writeFileWithMode(m_source + "/docs/a.txt", "source a", 0666);
        writeFileWithMode(m_source + "/report.txt", "source report", 0666);
        // A source owned by someone else, with a wide mode: what a followed
        // link would hand to the outside folder.
        if (::geteuid() == 0) {
            ASSERT_EQ(::chown((m_source + "/docs").c_str(), 4242, 4242), 0);
            ASSERT_EQ(::chown((m_source + "/report.txt").c_str(), 4242, 4242), 0);
        }
        ASSERT_EQ(::chmod((m_source + "/docs").c_str(), 0777), 0);
        setTimes(m_outside, 1'000'000'000, 1, 1'000'000'000, 2);
    }

    Params params(const std::string &name, const std::string &target) const
    {
        Params p;
        p.sourceRoot = m_source;
        p.source = m_source + "/" + name;
        p.targetRoot = m_destination;
        p.target = target;
        p.atDriveRoot = true;
        return p;
    }
    Result copyFolder(const std::string &name)
    {
        return m_engine.copyTree(params(name, m_backup + "/" + name), m_progress, m_stop);
    }
    Result copyRootFile(const std::string &name)
    {
        return m_engine.copyFile(params(name, m_backup), m_progress, m_stop);
    }

    std::string m_destination = m_temp / "destination";
    std::string m_backup = m_destination + "/Backup 01-02-2025";
    std::string m_outside = m_temp / "outside";
};

// Type, mode, owner, times and size of an item, and of each item directly
// in it, with the files' contents: equal before and after only when nothing
// was written there.
std::string snapshot(const std::string &path)
{
    const auto line = [](const std::string &item) {
        struct stat info {};
        if (::lstat(item.c_str(), &info) != 0)
            return item + ": missing\n";
        std::string text = item + ": " + std::to_string(info.st_mode) + " " + std::to_string(info.st_uid) + ":"
            + std::to_string(info.st_gid) + " " + std::to_string(info.st_mtim.tv_sec) + "."
            + std::to_string(info.st_mtim.tv_nsec) + " " + std::to_string(info.st_size);
        if (S_ISREG(info.st_mode))
            text += " " + readFile(item);
        return text + "\n";
    };
    std::string text = line(path);
    std::vector<std::string> names;
    if (DIR *stream = ::opendir(path.c_str())) {
        while (const dirent *entry = ::readdir(stream)) {
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                names.emplace_back(entry->d_name);
        }
        ::closedir(stream);
    }
    std::sort(names.begin(), names.end());
    for (const auto &name : names)
        text += line(path + "/" + name);
    return text;
}

} // namespace

TEST_F(UntrustedTree, ALinkAtATopLevelFoldersPlaceInTodaysBackupIsReplacedByTheCopyNotFollowed)
{
    ASSERT_EQ(::symlink(m_outside.c_str(), (m_backup + "/docs").c_str()), 0);
    const std::string before = snapshot(m_outside);

    const Result result = copyFolder("docs");

    EXPECT_TRUE(result.ok()) << describe(result);
    EXPECT_EQ(snapshot(m_outside), before);
    EXPECT_TRUE(S_ISDIR(statOf(m_backup + "/docs").st_mode));
    EXPECT_EQ(compareTrees(m_source + "/docs", m_backup + "/docs"), std::vector<std::string>{});
}

TEST_F(UntrustedTree, ALinkAtATopLevelFilesPlaceInTodaysBackupIsReplacedByTheCopyNotFollowed)
{
    ASSERT_EQ(::symlink((m_outside + "/victim").c_str(), (m_backup + "/report.txt").c_str()), 0);
    const std::string before = snapshot(m_outside);

    const Result result = copyRootFile("report.txt");

    EXPECT_TRUE(result.ok()) << describe(result);
    EXPECT_EQ(snapshot(m_outside), before);
    EXPECT_TRUE(S_ISREG(statOf(m_backup + "/report.txt").st_mode));
    EXPECT_EQ(readFile(m_backup + "/report.txt"), "source report");
}

class BackupFolderInTheWay : public UntrustedTree, public ::testing::WithParamInterface<const char *> {};

TEST_P(BackupFolderInTheWay, FailsTheDestinationWithoutWritingThroughItOrCreatingAnything)
{
    const std::string kind = GetParam();
    ASSERT_EQ(::rmdir(m_backup.c_str()), 0);
    if (kind == "link")
        ASSERT_EQ(::symlink(m_outside.c_str(), m_backup.c_str()), 0);
    else if (kind == "file")
        writeFile(m_backup, "a file where the backup folder should be");
    const std::string outsideBefore = snapshot(m_outside);
    const std::string destinationBefore = snapshot(m_destination);

    const Result folder = copyFolder("docs");
    const Result file = kind == "missing" ? Result{} : copyRootFile("report.txt");

    EXPECT_TRUE(folder.destinationFailed) << describe(folder);
    EXPECT_EQ(file.destinationFailed, kind != "missing") << describe(file);
    EXPECT_EQ(folder.files + file.files, 0u);
    EXPECT_EQ(snapshot(m_outside), outsideBefore);
    EXPECT_EQ(snapshot(m_destination), destinationBefore);
}

INSTANTIATE_TEST_SUITE_P(Kinds, BackupFolderInTheWay, ::testing::Values("link", "file", "missing"),
                         [](const auto &info) { return std::string(info.param); });

TEST_F(UntrustedTree, ATopLevelSourceFolderThatBecameALinkIsCopiedAsALinkWithNothingFromWhereItPoints)
{
    removeTree(m_source + "/docs");
    ASSERT_EQ(::symlink(m_outside.c_str(), (m_source + "/docs").c_str()), 0);

    const Result result = copyFolder("docs");

    EXPECT_TRUE(result.ok()) << describe(result);
    EXPECT_EQ(result.links, 1u);
    EXPECT_EQ(result.files, 0u);
    EXPECT_TRUE(S_ISLNK(statOf(m_backup + "/docs").st_mode));
    EXPECT_EQ(compareTrees(m_source, m_backup, {m_source + "/report.txt"}), std::vector<std::string>{});
}

// A chain of folders, and whether every level of it also holds an empty
// folder beside the next level, copied by one worker: that worker goes down
// the chain first, and every level waits with a folder still to copy.
struct Chain {
    bool sideFolders;
    unsigned workers;
};

// A tree far deeper than any descriptor limit, on a tmpfs where the system
// allows one: a disk takes minutes to delete 200,000 folders, a tmpfs is
// gone with its unmount.
class DeepTree : public EngineTest, public ::testing::WithParamInterface<Chain> {
protected:
    void SetUp() override
    {
        makeFolder(m_volume);
        m_mounted = canMount() && ::mount("none", m_volume.c_str(), "tmpfs", 0, "size=512m") == 0;
        EngineTest::SetUp();
    }
    void TearDown() override
    {
        if (m_mounted)
            ::umount2(m_volume.c_str(), MNT_DETACH);
    }

    std::string m_volume = m_temp / "volume";
    bool m_mounted = false;
};

TEST_P(DeepTree, AChainOf100000FoldersIsCopiedWholeWithBoundedDescriptorsAndMemory)
{
    const bool sideFolders = GetParam().sideFolders;
    m_source = m_volume + "/source";
    m_target = m_volume + "/copy";
    makeFolder(m_source);
    // Built one level at a time with one descriptor: no path this long opens.
    constexpr int levels = 100'000;
    constexpr int fileEvery = 1000; // files at some levels: folders with files under way stay open
    int fd = ::open(m_source.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    for (int level = 0; level < levels; ++level) {
        if (level % fileEvery == 0) {
            const int file = ::openat(fd, "f", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
            ASSERT_GE(file, 0);
            ASSERT_EQ(::write(file, "x", 1), 1);
            ::close(file);
        }
        ASSERT_EQ(::mkdirat(fd, "d", 0755), 0) << level;
        if (sideFolders) {
            ASSERT_EQ(::mkdirat(fd, "e", 0755), 0) << level;
        }
        const int next = ::openat(fd, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::close(fd);
        ASSERT_GE(next, 0);
        fd = next;
    }
    ::close(fd);

    // In a child whose descriptor limit cannot be raised past 512: a walk
    // that kept one folder open per level would run out long before the end.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const rlimit limit{512, 512};
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0)
            ::_exit(3);
        const Result result = copy(m_target, GetParam().workers);
        const unsigned folders = (sideFolders ? 2 * levels : levels) + 1;
        const bool whole = result.ok() && result.folders == folders && result.files == levels / fileEvery;
        ::_exit(whole ? 0 : 1);
    }
    int status = 0;
    rusage usage {};
    ASSERT_EQ(::wait4(child, &status, 0, &usage), child);
    ASSERT_TRUE(WIFEXITED(status)) << "the copy crashed";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the copy failed or was incomplete";
    EXPECT_LT(usage.ru_maxrss, 256 * 1024) << "peak memory in KiB";

    // The copy, walked down one descriptor at a time beside the source:
    // every level, also those the walk closed and opened again, has its
    // folder's mode and modification time.
    fd = ::open(m_target.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    int sourceFd = ::open(m_source.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    int depth = 0;
    int files = 0;
    int sides = 0;
    int unfinished = 0;
    while (fd >= 0) {
        struct stat copyInfo {};
        struct stat sourceInfo {};
        if (sourceFd < 0 || ::fstat(fd, &copyInfo) != 0 || ::fstat(sourceFd, &sourceInfo) != 0
            || (copyInfo.st_mode & 07777) != (sourceInfo.st_mode & 07777)
            || copyInfo.st_mtim.tv_sec != sourceInfo.st_mtim.tv_sec
            || copyInfo.st_mtim.tv_nsec != sourceInfo.st_mtim.tv_nsec)
            ++unfinished;
        files += ::faccessat(fd, "f", F_OK, AT_SYMLINK_NOFOLLOW) == 0 ? 1 : 0;
        sides += ::faccessat(fd, "e", F_OK, AT_SYMLINK_NOFOLLOW) == 0 ? 1 : 0;
        const int next = ::openat(fd, "d", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        ::close(fd);
        fd = next;
        const int nextSource
            = sourceFd < 0 ? -1 : ::openat(sourceFd, "d", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (sourceFd >= 0)
            ::close(sourceFd);
        sourceFd = nextSource;
        depth += fd >= 0 ? 1 : 0;
    }
    if (sourceFd >= 0)
        ::close(sourceFd);
    EXPECT_EQ(depth, levels);
    EXPECT_EQ(files, levels / fileEvery);
    EXPECT_EQ(sides, sideFolders ? levels : 0);
    EXPECT_EQ(unfinished, 0) << "levels without their folder's mode or times";
}

INSTANTIATE_TEST_SUITE_P(Chains, DeepTree, ::testing::Values(Chain{false, 4}, Chain{true, 1}),
                         [](const ::testing::TestParamInfo<Chain> &info) {
                             return std::string(info.param.sideFolders ? "WithAFolderBesideEveryLevel" : "Bare");
                         });
