// The program's files beside the backups, with what another user who may
// write at the destination could plant there.
#include "platform/BookkeepingFile.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;
using drovanta::platform::readBookkeepingFile;
using drovanta::platform::replaceBookkeepingFile;

namespace {

class BookkeepingFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_root = fs::temp_directory_path() / ("drovanta-bookkeeping-" + std::to_string(::getpid()));
        fs::remove_all(m_root);
        fs::create_directories(m_root / "elsewhere");
    }
    void TearDown() override { fs::remove_all(m_root); }

    fs::path record() const { return m_root / ".drovanta" / "Backup 12-09-2026.sums"; }
    fs::path elsewhere() const { return m_root / "elsewhere"; }

    fs::path m_root;
};

TEST_F(BookkeepingFileTest, ALinkStandingForItsFolderIsRefusedAndNothingIsWrittenWhereItPoints)
{
    fs::create_directory_symlink(elsewhere(), record().parent_path());
    const auto problem = replaceBookkeepingFile(record().string(), "text\n");
    ASSERT_TRUE(problem.has_value());
    EXPECT_NE(problem->find("is a link"), std::string::npos) << *problem;
    EXPECT_TRUE(fs::is_empty(elsewhere()));
}

TEST_F(BookkeepingFileTest, ALinkAtItsNameIsReplacedAndWhatItPointsToKeptAndNeverRead)
{
    const fs::path target = elsewhere() / "someone's file";
    std::ofstream(target) << "theirs\n";
    fs::create_directory(record().parent_path());
    fs::create_symlink(target, record());
    std::string problem;
    EXPECT_FALSE(readBookkeepingFile(record().string(), problem).has_value());
    EXPECT_EQ(problem, "is a link");

    ASSERT_FALSE(replaceBookkeepingFile(record().string(), "ours\n").has_value());
    EXPECT_FALSE(fs::is_symlink(record()));
    EXPECT_EQ(readBookkeepingFile(record().string(), problem).value_or(""), "ours\n");
    std::ifstream kept(target);
    std::string line;
    std::getline(kept, line);
    EXPECT_EQ(line, "theirs");
}

TEST_F(BookkeepingFileTest, ANamedPipeAtItsNameIsNotWaitedOn)
{
    fs::create_directory(record().parent_path());
    ASSERT_EQ(::mkfifo(record().c_str(), 0600), 0);
    const auto started = std::chrono::steady_clock::now();
    std::string problem;
    EXPECT_FALSE(readBookkeepingFile(record().string(), problem).has_value());
    EXPECT_EQ(problem, "is a named pipe");
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
}

} // namespace
