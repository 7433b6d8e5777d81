#include "platform/Failure.h"
#include "platform/StdFileOperations.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <utility>

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;
using drovanta::Failure;
using drovanta::platform::NotAFolder;
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

    // A folder where a backup folder lies, in a destination of its own.
    std::string backupFolder() const
    {
        const fs::path folder = m_root / "destination" / "Backup";
        fs::create_directories(folder);
        return folder.string();
    }

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

TEST_F(StdFileOperationsTest, CreatesOneLevelTakesAnExistingFolderAsItIsAndRefusesAMissingParent)
{
    const auto target = m_root / "Backup 12-07-2026";
    m_ops.createFolder(target.string());
    ASSERT_TRUE(fs::is_directory(target));
    std::ofstream(target / "kept.txt") << "kept";

    EXPECT_NO_THROW(m_ops.createFolder(target.string()));
    EXPECT_TRUE(fs::exists(target / "kept.txt"));
    EXPECT_THROW(m_ops.createFolder((m_root / "no" / "such").string()), Failure);
    EXPECT_FALSE(fs::exists(m_root / "no"));
}

TEST_F(StdFileOperationsTest, SomethingElseWhereTheFolderGoesIsNamedAndNeitherCreatedNorLockedThrough)
{
    const auto elsewhere = m_root / "elsewhere";
    fs::create_directory(elsewhere);
    std::vector<std::pair<fs::path, std::string>> cases{{m_root / "a-file", "a file"}};
    std::ofstream(cases[0].first) << "x";
    std::error_code noLinks; // MinGW's library cannot make links (ENOSYS)
    fs::create_directory_symlink(elsewhere, m_root / "a-link", noLinks);
    if (!noLinks)
        cases.emplace_back(m_root / "a-link", "a link");

    for (const auto &[path, kind] : cases) {
        for (const bool locking : {false, true}) {
            try {
                if (locking)
                    (void)m_ops.lockFolder(path.string());
                else
                    m_ops.createFolder(path.string());
                ADD_FAILURE() << path << " was taken for a folder";
            } catch (const NotAFolder &failure) {
                EXPECT_EQ(failure.kind(), kind);
            }
        }
    }
    EXPECT_TRUE(fs::is_empty(elsewhere));
}

TEST_F(StdFileOperationsTest, ALockTakenAgainInTheSameProcessSharesTheFirst)
{
    const std::string folder = backupFolder();
    auto first = m_ops.lockFolder(folder);
    ASSERT_NE(first, nullptr);
    auto nested = m_ops.lockFolder(folder);
    EXPECT_NE(nested, nullptr);
    first.reset();
    nested.reset();
    EXPECT_NE(m_ops.lockFolder(folder), nullptr);
}

#ifndef _WIN32
TEST_F(StdFileOperationsTest, AFolderLockedByAnotherProcessIsRefusedUntilThatProcessLetsGo)
{
    const std::string folder = backupFolder();
    int locked[2], release[2];
    ASSERT_EQ(::pipe(locked), 0);
    ASSERT_EQ(::pipe(release), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(locked[0]);
        ::close(release[1]);
        const auto lock = m_ops.lockFolder(folder);
        char byte = lock ? 'y' : 'n';
        (void)!::write(locked[1], &byte, 1);
        (void)!::read(release[0], &byte, 1); // until the parent closes its end
        ::_exit(0);
    }
    ::close(locked[1]);
    ::close(release[0]);
    char answer = 0;
    ASSERT_EQ(::read(locked[0], &answer, 1), 1);
    ASSERT_EQ(answer, 'y');

    EXPECT_EQ(m_ops.lockFolder(folder), nullptr);
    EXPECT_EQ(m_ops.lockFolder(folder + "/."), nullptr) << "another path to the same folder";

    ::close(release[1]);
    int status = 0;
    ::waitpid(child, &status, 0);
    ::close(locked[0]);
    EXPECT_NE(m_ops.lockFolder(folder), nullptr);
}
#endif
