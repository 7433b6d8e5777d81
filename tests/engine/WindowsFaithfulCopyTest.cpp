// What the Windows engine keeps beyond names and bytes, and what it never
// follows: hard-link groups, sparse files, and junctions planted on the way
// to the source or the backup. Wine cannot make junctions; those cases skip
// under it and run on Windows.
#include "EngineTestSupport.h"
#include "WindowsTestSupport.h"

#include "engine/CopyEngine.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <winioctl.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

using namespace drovanta::engine;
using namespace drovanta::engine::testing;

namespace {

// Makes `path` a junction to `destination` (both absolute). False where the
// system cannot make one.
bool makeJunction(const std::string &path, const std::string &destination)
{
    makeFolder(path);
    const HANDLE handle = ::CreateFileW(widePath(path).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    const std::wstring name = L"\\??\\" + std::filesystem::path(destination).make_preferred().wstring();
    const auto nameBytes = static_cast<WORD>(name.size() * sizeof(wchar_t));
    // The mount-point reparse buffer: tag, lengths, then the substitute and
    // print names, each ending with a null.
    std::vector<unsigned char> data(16 + nameBytes + 2 * sizeof(wchar_t), 0);
    const DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
    const WORD fields[] = {static_cast<WORD>(data.size() - 8), 0, 0, nameBytes,
                           static_cast<WORD>(nameBytes + sizeof(wchar_t)), 0};
    std::memcpy(data.data(), &tag, sizeof tag);
    std::memcpy(data.data() + 4, fields, sizeof fields);
    std::memcpy(data.data() + 16, name.data(), nameBytes);
    DWORD ignored = 0;
    const BOOL made = ::DeviceIoControl(handle, FSCTL_SET_REPARSE_POINT, data.data(), static_cast<DWORD>(data.size()),
                                        nullptr, 0, &ignored, nullptr);
    ::CloseHandle(handle);
    if (!made)
        std::filesystem::remove(path);
    return made && (::GetFileAttributesW(widePath(path).c_str()) & FILE_ATTRIBUTE_REPARSE_POINT);
}

class WindowsFaithfulCopy : public EngineTest {};

TEST_F(WindowsFaithfulCopy, NamesOfOneFileStayOneFileInTheCopy)
{
    makeFolder(m_source + "/sub");
    writeFile(m_source + "/a", "shared bytes");
    ASSERT_TRUE(::CreateHardLinkW(widePath(m_source + "/sub/b").c_str(), widePath(m_source + "/a").c_str(), nullptr));
    ASSERT_TRUE(::CreateHardLinkW(widePath(m_source + "/c").c_str(), widePath(m_source + "/a").c_str(), nullptr));
    writeFile(m_source + "/single", "alone");

    const Result result = copy();

    ASSERT_TRUE(result.ok()) << describe(result);
    EXPECT_EQ(result.files, 4u) << describe(result);
    const auto first = informationOf(m_target + "/a");
    EXPECT_EQ(first.nNumberOfLinks, 3u);
    for (const char *name : {"sub/b", "c"}) {
        const auto other = informationOf(m_target + "/" + name);
        EXPECT_EQ(other.nFileIndexLow, first.nFileIndexLow) << name;
        EXPECT_EQ(other.nFileIndexHigh, first.nFileIndexHigh) << name;
        EXPECT_EQ(readFile(m_target + "/" + name), "shared bytes") << name;
    }
    EXPECT_EQ(informationOf(m_target + "/single").nNumberOfLinks, 1u);
}

TEST_F(WindowsFaithfulCopy, ASparseFileComesOutWithTheSameBytes)
{
    const std::string path = m_source + "/disk.img";
    const HANDLE file = ::CreateFileW(widePath(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD done = 0;
    // Refused by some filesystems: the file is then an ordinary one with
    // zeros, and must still copy right.
    (void)::DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &done, nullptr);
    const std::string head = randomBytes(70'000, 1);
    const std::string middle = randomBytes(5'000, 2);
    const auto writeAt = [&](std::int64_t offset, const std::string &bytes) {
        LARGE_INTEGER at;
        at.QuadPart = offset;
        return ::SetFilePointerEx(file, at, nullptr, FILE_BEGIN)
            && ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr);
    };
    constexpr std::int64_t middleAt = 9 * 1024 * 1024 + 3;
    constexpr std::int64_t size = 24 * 1024 * 1024 + 1;
    LARGE_INTEGER end;
    end.QuadPart = size;
    const bool written = writeAt(0, head) && writeAt(middleAt, middle) && ::SetFilePointerEx(file, end, nullptr, FILE_BEGIN)
        && ::SetEndOfFile(file);
    ::CloseHandle(file);
    ASSERT_TRUE(written);
    const bool sparse = (::GetFileAttributesW(widePath(path).c_str()) & FILE_ATTRIBUTE_SPARSE_FILE) != 0;

    const Result result = copy();

    ASSERT_TRUE(result.ok()) << describe(result);
    std::string expected(static_cast<std::size_t>(size), '\0');
    expected.replace(0, head.size(), head);
    expected.replace(static_cast<std::size_t>(middleAt), middle.size(), middle);
    EXPECT_TRUE(readFile(m_target + "/disk.img") == expected);
    if (sparse) {
        EXPECT_TRUE(::GetFileAttributesW(widePath(m_target + "/disk.img").c_str()) & FILE_ATTRIBUTE_SPARSE_FILE);
    }
}

// Where a junction to a folder outside is planted, and what the copy must do.
struct Planted {
    const char *where;      // "source", "backup" (above the copy's folder) or "copy" (the copy's folder itself)
    bool destinationFailed; // the run stops; else the source is reported (source) or the junction replaced (copy)
};

class PlantedJunction : public EngineTest, public ::testing::WithParamInterface<Planted> {};

TEST_P(PlantedJunction, IsNeverFollowed)
{
    const std::string outside = m_temp / "outside";
    makeFolder(outside);
    writeFile(outside + "/keep.txt", "outside");
    const std::string where = GetParam().where;
    // Source: <root>/drive/docs with "drive" a junction. Target: <root>/dest/Backup/docs.
    const std::string sourceRoot = m_temp / "srcroot";
    const std::string targetRoot = m_temp / "dest";
    makeFolder(sourceRoot);
    makeFolder(targetRoot);
    if (where != "source") {
        makeFolder(sourceRoot + "/drive");
        makeFolder(sourceRoot + "/drive/docs");
        writeFile(sourceRoot + "/drive/docs/new.txt", "from the source");
    }
    bool planted = false;
    if (where == "source") {
        planted = makeJunction(sourceRoot + "/drive", outside);
    } else if (where == "backup") {
        planted = makeJunction(targetRoot + "/Backup", outside);
    } else {
        makeFolder(targetRoot + "/Backup");
        planted = makeJunction(targetRoot + "/Backup/docs", outside);
    }
    if (!planted)
        GTEST_SKIP() << "this system cannot make junctions (Wine cannot)";
    Params params;
    params.source = sourceRoot + "/drive/docs";
    params.target = targetRoot + "/Backup/docs";
    params.sourceRoot = sourceRoot;
    params.targetRoot = targetRoot;

    const Result result = m_engine.copyTree(params, m_progress, m_stop);

    EXPECT_EQ(result.destinationFailed, GetParam().destinationFailed) << describe(result);
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(outside))
        names.push_back(entry.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string>{"keep.txt"});
    EXPECT_EQ(readFile(outside + "/keep.txt"), "outside");
    if (where == "source") {
        EXPECT_EQ(result.failures.size(), 1u) << describe(result);
    }
    if (where == "copy") {
        EXPECT_TRUE(result.ok()) << describe(result);
        EXPECT_FALSE(::GetFileAttributesW(widePath(params.target).c_str()) & FILE_ATTRIBUTE_REPARSE_POINT);
        EXPECT_EQ(readFile(params.target + "/new.txt"), "from the source");
    }
}

INSTANTIATE_TEST_SUITE_P(Places, PlantedJunction,
                         ::testing::Values(Planted{"source", false}, Planted{"backup", true}, Planted{"copy", false}),
                         [](const auto &info) { return std::string(info.param.where); });

} // namespace
