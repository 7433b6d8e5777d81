// A backup keeps what the destination can hold and says what it cannot:
// on real volumes of the kinds users back up to.
#include "EngineTestSupport.h"
#include "LoopVolume.h"
#include "PosixTestSupport.h"

#include "engine/CopyEngine.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>

using namespace drovanta::engine;
using namespace drovanta::engine::testing;
using drovanta::testing::Filesystem;
using drovanta::testing::LoopVolume;

namespace {

constexpr off_t fourGiB = off_t{1} << 32;

// A file of `size` bytes that holds `data` at its start and end, holes between.
void writeSparseFile(const std::string &path, off_t size, const std::string &data)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(::pwrite(fd, data.data(), data.size(), 0), static_cast<ssize_t>(data.size()));
    ASSERT_EQ(::pwrite(fd, data.data(), data.size(), size - static_cast<off_t>(data.size())),
              static_cast<ssize_t>(data.size()));
    ::close(fd);
}

bool setAttribute(const std::string &path, const std::string &name, const std::string &value)
{
    return ::lsetxattr(path.c_str(), name.c_str(), value.data(), value.size(), 0) == 0;
}

const ItemFailure *failureOf(const Result &result, const std::string &name)
{
    for (const auto &failure : result.failures) {
        if (failure.path.ends_with("/" + name))
            return &failure;
    }
    return nullptr;
}

std::uint64_t noted(const Result &result, NoteKind kind)
{
    std::uint64_t items = 0;
    for (const auto &note : result.notes)
        items += note.kind == kind ? note.items : 0;
    return items;
}

struct Drive {
    Filesystem filesystem;
    const char *name;
    bool foldsCase;      // and refuses names such as "a:b"
    bool keepsModes;     // as the driver mounts it by default
    bool keepsAttributes;
    const char *tooLarge; // the reason a 4 GiB file fails with, or nullptr when it fits
    bool roomForFourGiB;  // writing 4 GiB of zeros (no holes) is left out of tests
};

void PrintTo(const Drive &drive, std::ostream *out)
{
    *out << drive.name;
}

class FaithfulCopy : public EngineTest, public ::testing::WithParamInterface<Drive> {};

} // namespace

TEST_P(FaithfulCopy, EveryFileWhoseDataFitsIsCopiedAndWhatTheDriveCannotKeepIsSaid)
{
    const Drive drive = GetParam();
    LoopVolume volume(drive.filesystem, drive.filesystem == Filesystem::Ext4 ? 64 : 48);
    if (!volume.mounted())
        GTEST_SKIP() << volume.error();
    writeFileWithMode(m_source + "/setuid", "runs as its owner", 04755);
    writeFile(m_source + "/owned", "someone else's");
    ASSERT_EQ(::chown((m_source + "/owned").c_str(), 1234, 1234), 0);
    writeFile(m_source + "/Readme", "first");
    writeFile(m_source + "/README", "second");
    writeFile(m_source + "/a:b", "colon");
    writeFile(m_source + "/tagged", "with an attribute");
    const bool attributes = setAttribute(m_source + "/tagged", "user.origin", "camera");
    if (drive.roomForFourGiB || drive.tooLarge != nullptr)
        writeSparseFile(m_source + "/disk.img", fourGiB + 4096, "boot");
    const std::string target = volume.path() + "/Backup";

    const Result result = copy(target);

    EXPECT_FALSE(result.destinationFailed) << describe(result);
    for (const std::string name : {"setuid", "owned", "tagged"})
        EXPECT_EQ(readFile(target + "/" + name), readFile(m_source + "/" + name)) << name;
    if (drive.foldsCase) {
        EXPECT_EQ(result.failures.size(), drive.tooLarge ? 3u : 2u) << describe(result);
        const ItemFailure *readme = failureOf(result, "Readme");
        const ItemFailure *clash = readme != nullptr ? readme : failureOf(result, "README");
        ASSERT_NE(clash, nullptr) << describe(result);
        EXPECT_EQ(clash->reason, "another item differs from it only in upper/lower case");
        const std::string kept = readme != nullptr ? "README" : "Readme";
        EXPECT_EQ(readFile(target + "/" + kept), readFile(m_source + "/" + kept)) << "the first name stays intact";
        const ItemFailure *colon = failureOf(result, "a:b");
        ASSERT_NE(colon, nullptr) << describe(result);
        EXPECT_EQ(colon->reason, "this name is not allowed on this drive's filesystem");
    } else {
        EXPECT_EQ(readFile(target + "/Readme"), "first");
        EXPECT_EQ(readFile(target + "/README"), "second");
        EXPECT_EQ(readFile(target + "/a:b"), "colon");
    }
    if (drive.tooLarge != nullptr) {
        const ItemFailure *big = failureOf(result, "disk.img");
        ASSERT_NE(big, nullptr) << describe(result);
        EXPECT_EQ(big->reason, drive.tooLarge);
    } else if (drive.roomForFourGiB) {
        const struct stat copy = statOf(target + "/disk.img");
        EXPECT_EQ(copy.st_size, fourGiB + 4096);
        EXPECT_LT(copy.st_blocks * 512, 16 * 1024 * 1024) << "the holes stay holes";
    }
    EXPECT_EQ(noted(result, NoteKind::OwnersAndPermissions) > 0, !drive.keepsModes) << describe(result);
    if (attributes) {
        EXPECT_EQ(noted(result, NoteKind::ExtendedAttributes), drive.keepsAttributes ? 0u : 1u) << describe(result);
    }
    for (const auto &note : result.notes)
        EXPECT_EQ(note.filesystem, drive.name);
}

INSTANTIATE_TEST_SUITE_P(
    Drives, FaithfulCopy,
    ::testing::Values(Drive{Filesystem::Ext4, "ext4", false, true, true, nullptr, true},
                      Drive{Filesystem::ExFat, "exFAT", true, false, false, nullptr, false},
                      Drive{Filesystem::Fat32, "FAT32", true, false, false,
                            "too large for this drive's filesystem (FAT32 holds files up to 4 GiB)", false},
                      Drive{Filesystem::Ntfs, "NTFS", false, false, true, nullptr, true}),
    [](const auto &info) { return std::string(info.param.name); });

using PosixKeptDetails = EngineTest;

TEST_F(PosixKeptDetails, HolesAttributesAclsHardLinksFifosAndDevicesComeOutAsInTheSource)
{
    LoopVolume volume(Filesystem::Ext4, 64);
    if (!volume.mounted())
        GTEST_SKIP() << volume.error();
    const std::string data = randomBytes(1024 * 1024, 7);
    writeSparseFile(m_source + "/vm.img", off_t{10} << 30, data.substr(0, 512 * 1024));
    writeFile(m_source + "/private", "only for the owner and user 1234");
    makeFolder(m_source + "/shared");
    const bool attributes = setAttribute(m_source + "/private", "user.note", "kept")
        && setAttribute(m_source + "/private", "system.posix_acl_access", aclGrantingReadTo1234())
        && setAttribute(m_source + "/shared", "system.posix_acl_default", aclGrantingReadTo1234());
    // Hard-link groups spread over folders, copied by several workers at once.
    for (int folder = 0; folder < 4; ++folder)
        makeFolder(m_source + "/other" + std::to_string(folder));
    for (int group = 0; group < 40; ++group) {
        const std::string first = m_source + "/shared/file" + std::to_string(group);
        writeFile(first, "group " + std::to_string(group));
        ASSERT_EQ(::link(first.c_str(), (m_source + "/other" + std::to_string(group % 4) + "/name" +
                                         std::to_string(group)).c_str()), 0);
        ASSERT_EQ(::link(first.c_str(), (m_source + "/third" + std::to_string(group)).c_str()), 0);
    }
    ASSERT_EQ(::mkfifo((m_source + "/pipe").c_str(), 0640), 0);
    const bool devices = ::mknod((m_source + "/null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0;
    const std::string target = volume.path() + "/Backup";

    const Result result = copy(target);

    EXPECT_TRUE(result.ok()) << describe(result);
    EXPECT_TRUE(result.notes.empty()) << describe(result);
    EXPECT_EQ(compareTrees(m_source, target), std::vector<std::string>{});
    const struct stat image = statOf(target + "/vm.img");
    EXPECT_EQ(image.st_size, off_t{10} << 30);
    EXPECT_LT(image.st_blocks * 512, 2 * 1024 * 1024) << "only the data regions are written";
    if (!attributes)
        std::cout << "[ NOTE     ] the source's filesystem holds no ACLs; they were not compared\n";
    if (!devices)
        std::cout << "[ NOTE     ] device nodes need root; none was compared\n";
}

TEST_F(PosixKeptDetails, AFileWhoseOwnerCannotBeSetIsKeptAndNotedNotFailed)
{
    LoopVolume volume(Filesystem::ExFat, 16);
    if (!volume.mounted())
        GTEST_SKIP() << volume.error();
    makeFolder(m_source + "/photos");
    for (int i = 0; i < 5; ++i)
        writeFileWithMode(m_source + "/photos/" + std::to_string(i) + ".jpg", randomBytes(5000, i), 04640);

    const Result result = copy(volume.path() + "/Backup");

    EXPECT_TRUE(result.ok()) << describe(result);
    EXPECT_EQ(result.files, 5u);
    EXPECT_EQ(result.notes, (std::vector<Note>{{NoteKind::OwnersAndPermissions, "exFAT", 7}}))
        << "five files, their folder and the backup folder";
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(readFile(volume.path() + "/Backup/photos/" + std::to_string(i) + ".jpg"), randomBytes(5000, i));
}

namespace {

// The process's file mode creation mask for the length of a test.
class UmaskCopy : public EngineTest, public ::testing::WithParamInterface<mode_t> {
protected:
    void SetUp() override
    {
        EngineTest::SetUp();
        m_saved = ::umask(GetParam());
    }
    void TearDown() override { ::umask(m_saved); }

    mode_t m_saved = 022;
};

} // namespace

// Copies are made with their permissions where that is safe, and the mask
// must not take any away: on a first copy (a new folder) and on a rerun
// that replaces changed files (an existing one).
TEST_P(UmaskCopy, LeavesEveryPermissionAsInTheSource)
{
    const mode_t modes[] = {0600, 0640, 0644, 0664, 0755, 0777, 0444, 04755, 02750};
    makeFolder(m_source + "/folder");
    for (const mode_t mode : modes)
        writeFileWithMode(m_source + "/folder/" + std::to_string(mode), "first", mode);

    EXPECT_TRUE(copy(m_target).ok());
    EXPECT_EQ(compareTrees(m_source, m_target), std::vector<std::string>{});

    for (const mode_t mode : modes)
        writeFileWithMode(m_source + "/folder/" + std::to_string(mode), "second day", mode, 1'700'000'000);
    const Result rerun = copy(m_target);

    EXPECT_TRUE(rerun.ok()) << describe(rerun);
    EXPECT_EQ(rerun.files, std::size(modes));
    EXPECT_EQ(compareTrees(m_source, m_target), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Masks, UmaskCopy, ::testing::Values(mode_t{0}, mode_t{022}, mode_t{077}),
                         [](const ::testing::TestParamInfo<mode_t> &info) {
                             char name[16];
                             std::snprintf(name, sizeof name, "Mask%03o", static_cast<unsigned>(info.param));
                             return std::string(name);
                         });
