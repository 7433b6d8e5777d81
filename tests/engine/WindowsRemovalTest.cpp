// Old backup folders measured and removed on Windows: a read-only file that
// an earlier backup shares keeps its attribute under its other name.
#include "engine/BackupRemoval.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;
using namespace drovanta::engine;

TEST(WindowsOldBackupRemoval, ASharedReadOnlyFileIsFreedOnlyWithBothAndKeepsItsAttributeUnderItsOtherName)
{
    const fs::path root = fs::temp_directory_path() / ("drovanta-remove-" + std::to_string(::GetCurrentProcessId()));
    fs::remove_all(root);
    fs::create_directories(root / "Backup 01-01-2026" / "sub");
    fs::create_directories(root / "Backup 01-02-2026");
    std::ofstream(root / "Backup 01-01-2026" / "sub" / "own", std::ios::binary) << std::string(1000, 'o');
    const fs::path shared = root / "Backup 01-01-2026" / "shared";
    const fs::path later = root / "Backup 01-02-2026" / "shared";
    std::ofstream(shared, std::ios::binary) << std::string(3000, 's');
    if (!::CreateHardLinkW(later.c_str(), shared.c_str(), nullptr))
        GTEST_SKIP() << "this system cannot make hard links here (error " << ::GetLastError() << ")";
    ASSERT_TRUE(::SetFileAttributesW(shared.c_str(), FILE_ATTRIBUTE_READONLY));

    const auto freed = bytesFreedByRemoving(root.string(), {"Backup 01-01-2026", "Backup 01-02-2026"});
    const FolderRemoval removal =
        removeFolder(root.string(), "Backup 01-01-2026", ".Backup 01-01-2026.removing");

    ASSERT_EQ(freed.size(), 2u);
    EXPECT_EQ(freed[0], 2 * 4096u + 1000u) << "the folder, its sub-folder and its own file";
    EXPECT_EQ(freed[1], 3 * 4096u + 1000u + 3000u);
    EXPECT_TRUE(removal.removed) << (removal.failures.empty() ? "" : removal.failures[0].reason);
    EXPECT_FALSE(fs::exists(root / "Backup 01-01-2026"));
    EXPECT_FALSE(fs::exists(root / ".Backup 01-01-2026.removing"));
    ASSERT_TRUE(fs::exists(later));
    EXPECT_NE(::GetFileAttributesW(later.c_str()) & FILE_ATTRIBUTE_READONLY, 0u) << "the later backup's file changed";
    (void)::SetFileAttributesW(later.c_str(), FILE_ATTRIBUTE_NORMAL);
    fs::remove_all(root);
}
