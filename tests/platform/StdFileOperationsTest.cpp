#include "platform/Failure.h"
#include "platform/StdFileOperations.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;
using drovanta::Failure;
using drovanta::platform::StdFileOperations;

namespace {

class StdFileOperationsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_root = fs::temp_directory_path() / ("drovanta-fileops-" + std::to_string(::getpid()));
        fs::remove_all(m_root);
        fs::create_directories(m_root);
    }
    void TearDown() override { fs::remove_all(m_root); }

    fs::path m_root;
    StdFileOperations m_ops;
};

std::vector<std::string> names(const std::vector<drovanta::platform::FolderItem> &items)
{
    std::vector<std::string> out;
    for (const auto &item : items)
        out.push_back(item.name);
    std::sort(out.begin(), out.end());
    return out;
}

} // namespace

TEST_F(StdFileOperationsTest, ListsRealFoldersAsSubFoldersAndEverythingElseAsFiles)
{
    fs::create_directory(m_root / "Data");
    fs::create_directory(m_root / "Photos");
    std::ofstream(m_root / "notes.txt") << "x";
    // MinGW's library cannot make links (ENOSYS); the folders and files are
    // listed all the same.
    std::error_code noLinks;
    fs::create_directory_symlink(m_root / "Data", m_root / "link-to-data", noLinks);
    std::vector<std::string> files{"notes.txt"};
    if (!noLinks)
        files.insert(files.begin(), "link-to-data");

    const auto folder = m_ops.getFolder(m_root.string());

    EXPECT_EQ(names(folder->subFolders()), (std::vector<std::string>{"Data", "Photos"}));
    EXPECT_EQ(names(folder->files()), files);
    for (const auto &item : folder->subFolders())
        EXPECT_EQ(item.path, (m_root / item.name).string());
}

TEST_F(StdFileOperationsTest, RefusesToOpenAMissingPathAFileOrAnEmptyPath)
{
    std::ofstream(m_root / "file") << "x";
    EXPECT_THROW(m_ops.getFolder((m_root / "missing").string()), Failure);
    EXPECT_THROW(m_ops.getFolder((m_root / "file").string()), Failure);
    EXPECT_THROW(m_ops.getFolder(""), Failure);
}

TEST_F(StdFileOperationsTest, CreatesOneLevelAndRefusesAnExistingFolderOrAMissingParent)
{
    const auto target = m_root / "Backup 12-07-2026";
    m_ops.createFolder(target.string());
    EXPECT_TRUE(fs::is_directory(target));

    EXPECT_THROW(m_ops.createFolder(target.string()), Failure);
    EXPECT_THROW(m_ops.createFolder((m_root / "no" / "such").string()), Failure);
    EXPECT_FALSE(fs::exists(m_root / "no"));
}
