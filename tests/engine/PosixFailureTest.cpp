// A copy that meets trouble on POSIX: a file without read permission, a
// full or read-only mounted volume, a killed run.
#include "EngineTestSupport.h"
#include "LoopVolume.h"
#include "PosixTestSupport.h"

#include "engine/CopyEngine.h"
#include "engine/FaultInjection.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <thread>

using namespace drovanta::engine;
using namespace drovanta::engine::testing;

namespace {

using PosixCopyFailure = EngineTest;

// Setting a folder's metadata once everything inside it is written fails
// with the given errno.
class FolderCompletionFailure : public EngineTest, public ::testing::WithParamInterface<int> {};

} // namespace

// Whichever thread finishes a folder last sets its metadata: a failure there
// reaches the run's result (the destination's failure when it says the
// destination is failing) however many workers there are.
TEST_P(FolderCompletionFailure, IsReportedWithTheFolder)
{
    const int code = GetParam();
    makeFolder(m_source + "/full");
    for (int i = 0; i < 40; ++i)
        writeFile(m_source + "/full/file" + std::to_string(i), "x");
    makeFolder(m_source + "/empty");
    faults::Faults planted;
    planted.folderMetadataError = [code](const std::string &path) { return path.ends_with("/full") ? code : 0; };
    Result result;
    {
        faults::ScopedFaults scope(planted);
        result = copy(m_target, 8);
    }

    const ItemFailure &failure = code == EIO ? result.destinationFailure
        : result.failures.empty()            ? ItemFailure{}
                                             : result.failures[0];
    EXPECT_EQ(result.destinationFailed, code == EIO) << describe(result);
    EXPECT_EQ(result.failures.size(), code == EIO ? 0u : 1u) << describe(result);
    EXPECT_EQ(reported(failure.path), reported(m_target + "/full"));
    EXPECT_EQ(failure.operation, "set times");
    EXPECT_EQ(failure.code, code);
    EXPECT_EQ(result.files, 40u);
}
INSTANTIATE_TEST_SUITE_P(Codes, FolderCompletionFailure, ::testing::Values(EIO, EPERM),
                         [](const ::testing::TestParamInfo<int> &info) {
                             return info.param == EIO     ? std::string("EIO")
                                 : info.param == EPERM ? std::string("EPERM")
                                                       : "Errno" + std::to_string(info.param);
                         });

TEST_F(PosixCopyFailure, AFileWithoutReadPermissionIsReportedWhileEveryOtherFileIsCopied)
{
    if (::geteuid() == 0)
        GTEST_SKIP() << "root reads files whatever their mode; the injected read error covers this case";
    writeFileWithMode(m_source + "/secret", "no", 0000);
    writeFile(m_source + "/open", "yes");

    const Result result = copy(m_target);

    ASSERT_EQ(result.failures.size(), 1u) << describe(result);
    EXPECT_EQ(result.failures[0].code, EACCES);
    EXPECT_EQ(readFile(m_target + "/open"), "yes");
}

TEST_F(PosixCopyFailure, AFullLoopMountedVolumeStopsTheRunWithNoTruncatedFileLeft)
{
    drovanta::testing::LoopVolume volume(16);
    if (!volume.mounted())
        GTEST_SKIP() << "a loop-mounted ext4 volume is needed: " << volume.error();
    for (int i = 0; i < 12; ++i)
        writeFile(m_source + "/big" + std::to_string(i), randomBytes(2 * 1024 * 1024, static_cast<unsigned>(i)));
    const std::string target = volume.path() + "/backup";

    const Result result = copy(target);

    EXPECT_TRUE(result.destinationFailed) << describe(result);
    EXPECT_EQ(result.destinationFailure.code, ENOSPC);
    EXPECT_LT(result.files, 12u);
    expectNoDamagedFile(target);
}

TEST_F(PosixCopyFailure, AReadOnlyDestinationStopsTheRunAtTheFirstItem)
{
    if (!canMount())
        GTEST_SKIP() << "mounting a read-only tmpfs needs root and permission to mount";
    for (int i = 0; i < 20; ++i)
        writeFile(m_source + "/file" + std::to_string(i), "x");
    const std::string volume = m_temp / "readonly";
    ASSERT_EQ(::mkdir(volume.c_str(), 0755), 0);
    ASSERT_EQ(::mount("none", volume.c_str(), "tmpfs", 0, "size=1m"), 0);
    ASSERT_EQ(::mkdir((volume + "/backup").c_str(), 0755), 0);
    ASSERT_EQ(::mount(nullptr, volume.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);

    const Result result = copy(volume + "/backup");
    ::umount(volume.c_str());

    EXPECT_TRUE(result.destinationFailed) << describe(result);
    EXPECT_EQ(result.destinationFailure.code, EROFS);
    EXPECT_EQ(result.files, 0u);
    EXPECT_TRUE(result.failures.empty()) << describe(result);
}

TEST_F(PosixCopyFailure, AKilledRunLeavesNoTruncatedFileAndTheNextRunCleansUpAndCompletes)
{
    for (int folder = 0; folder < 4; ++folder) {
        const std::string path = m_source + "/f" + std::to_string(folder);
        ASSERT_EQ(::mkdir(path.c_str(), 0755), 0);
        for (int i = 0; i < 12; ++i)
            writeFile(path + "/" + std::to_string(i), randomBytes(1024 * 1024 + static_cast<std::size_t>(i),
                                                                   static_cast<unsigned>(folder * 100 + i)));
    }
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Slow each file a little so that the kill lands in the middle.
        faults::Faults planted;
        planted.readError = [](const std::string &) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            return 0;
        };
        faults::ScopedFaults scope(planted);
        const Result result = copy(m_target);
        ::_exit(result.ok() ? 0 : 1);
    }
    // Wait until the child has started writing files, then kill it.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline && ::access((m_target + "/f1").c_str(), F_OK) != 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(::kill(child, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the copy finished before it could be killed";

    EXPECT_EQ(compareTrees(m_source, m_target, {}, true), std::vector<std::string>{})
        << "files under their real names are complete";
    // A leftover that a killed run would leave, in case the kill fell between files.
    writeFile(m_target + "/f1/.drovanta-tmp-0123456789abcdef", "partial"); // f1 exists: the kill waited for it

    const Result result = copy(m_target);

    EXPECT_TRUE(result.ok()) << describe(result);
    EXPECT_EQ(result.files + result.unchanged, 48u);
    EXPECT_EQ(compareTrees(m_source, m_target), std::vector<std::string>{});
    EXPECT_EQ(temporaryFiles(m_target), std::vector<std::string>{});
}
