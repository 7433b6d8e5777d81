// What a backup that shares unchanged files with the earlier one must write,
// on Windows.
#include "engine/CopyEngine.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

void writeFile(const fs::path &path, std::size_t size)
{
    std::ofstream(path, std::ios::binary) << std::string(size, 'x');
}

class WindowsMeasure : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_root = fs::temp_directory_path() / ("drovanta-facts-" + std::to_string(::GetCurrentProcessId()));
        fs::remove_all(m_root);
        fs::create_directories(m_root / "source" / "sub");
        fs::create_directories(m_root / "destination" / "earlier");
    }
    void TearDown() override { fs::remove_all(m_root); }

    fs::path m_root;
};

TEST_F(WindowsMeasure, FilesTheEarlierBackupHoldsUnchangedAreNotCounted)
{
    const fs::path source = m_root / "source";
    const fs::path earlier = m_root / "destination" / "earlier";
    const fs::path probe = m_root / "destination" / "probe";
    writeFile(probe, 1);
    if (!::CreateHardLinkW((probe.wstring() + L"-2").c_str(), probe.wstring().c_str(), nullptr))
        GTEST_SKIP() << "this system cannot make hard links here (error " << ::GetLastError() << ")";
    fs::remove(probe.wstring() + L"-2");
    fs::remove(probe);
    writeFile(source / "same", 1000);
    writeFile(source / "changed", 2000);
    writeFile(source / "sub" / "new", 300);
    // Copies keep the last-write time and attributes, as the engine's do.
    ASSERT_TRUE(::CopyFileW((source / "same").c_str(), (earlier / "same").c_str(), TRUE));
    ASSERT_TRUE(::CopyFileW((source / "changed").c_str(), (earlier / "changed").c_str(), TRUE));
    FILETIME later{};
    later.dwHighDateTime = 0x01d00000;
    const HANDLE changed = ::CreateFileW((source / "changed").c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr,
                                         OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(changed, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(::SetFileTime(changed, nullptr, nullptr, &later));
    ::CloseHandle(changed);

    drovanta::engine::Params params;
    params.source = source.string() + "\\";
    params.sourceRoot = params.source;
    params.targetRoot = (m_root / "destination").string();
    params.previousTarget = earlier.string();
    params.target = (m_root / "destination" / "today").string();
    const std::atomic<bool> stop{false};
    const std::uint64_t toWrite = drovanta::engine::NativeCopyEngine().measure(params, stop).value_or(0);

    // Today's folder and "sub" in it are new: a folder block each.
    EXPECT_EQ(toWrite, 2000u + 300u + 2 * 4096u);
}

} // namespace
