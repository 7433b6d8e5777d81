// Backups that share unchanged files with the day before, on real volumes.
#include "LoopVolume.h"
#include "PosixTestSupport.h"

#include "engine/CopyEngine.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <ostream>

using namespace drovanta::engine;
using namespace drovanta::engine::testing;
using drovanta::testing::Filesystem;
using drovanta::testing::LoopVolume;

namespace {

// Everything a backup folder holds that a later backup must not change:
// per item its type, permissions, owner, size, modification time and data.
std::map<std::string, std::string> snapshot(const std::string &root)
{
    std::map<std::string, std::string> items;
    for (const auto &entry : std::filesystem::recursive_directory_iterator(root)) {
        const std::string path = entry.path().string();
        const struct stat info = statOf(path);
        std::string facts = std::to_string(info.st_mode) + " " + std::to_string(info.st_uid) + ":" +
            std::to_string(info.st_gid) + " " + std::to_string(info.st_size) + " " +
            std::to_string(info.st_mtim.tv_sec) + "." + std::to_string(info.st_mtim.tv_nsec);
        if (S_ISREG(info.st_mode))
            facts += " " + readFile(path);
        items[path.substr(root.size())] = facts;
    }
    return items;
}

struct History {
    Filesystem filesystem;
    bool shares;
};

void PrintTo(const History &history, std::ostream *out)
{
    *out << (history.filesystem == Filesystem::Ext4 ? "ext4" : "exFAT")
         << (history.shares ? ", shares unchanged files" : ", copies every file");
}

class PosixHistory : public EngineTest, public ::testing::WithParamInterface<History> {
protected:
    Result backup(const std::string &day, const std::string &earlierDay = {})
    {
        Params params;
        params.source = m_source;
        params.target = m_volume.path() + "/Backup " + day + "/tree";
        params.sourceRoot = m_temp.path();
        params.targetRoot = m_volume.path();
        if (!earlierDay.empty())
            params.previousTarget = m_volume.path() + "/Backup " + earlierDay + "/tree";
        std::filesystem::create_directories(m_volume.path() + "/Backup " + day);
        return m_engine.copyTree(params, m_progress, m_stop);
    }

    LoopVolume m_volume{GetParam().filesystem, 64};
};

ino_t inodeOf(const std::string &path)
{
    return statOf(path).st_ino;
}

} // namespace

TEST_P(PosixHistory, UnchangedFilesShareTheEarlierBackupsFileWhichNoLaterRunChanges)
{
    if (!m_volume.mounted())
        GTEST_SKIP() << m_volume.error();
    const bool shares = GetParam().shares;
    makeFolder(m_source + "/docs");
    writeFileWithMode(m_source + "/keep", "kept as it is", 0644);
    writeFileWithMode(m_source + "/docs/keep", "also kept", 0640);
    writeFileWithMode(m_source + "/docs/change", "first version", 0644);
    writeFileWithMode(m_source + "/docs/gone", "removed later", 0644);
    writeFileWithMode(m_source + "/run.sh", "#!/bin/sh\n", 0644);
    if (shares) { // exFAT keeps no links
        ASSERT_EQ(::symlink("keep", (m_source + "/link").c_str()), 0);
    }
    const Result first = backup("06-01-2024");
    ASSERT_TRUE(first.ok()) << describe(first);
    const std::string yesterday = m_volume.path() + "/Backup 06-01-2024/tree";
    const auto before = snapshot(yesterday);

    writeFileWithMode(m_source + "/docs/change", "second, longer version", 0644);
    writeFileWithMode(m_source + "/docs/new", "added today", 0644);
    ASSERT_EQ(::unlink((m_source + "/docs/gone").c_str()), 0);
    ASSERT_EQ(::chmod((m_source + "/run.sh").c_str(), 0755), 0); // the mode alone changes
    const Result today = backup("06-02-2024", "06-01-2024");
    const std::string copy = m_volume.path() + "/Backup 06-02-2024/tree";

    EXPECT_FALSE(today.destinationFailed) << describe(today);
    EXPECT_EQ(today.shared, shares ? 2u : 0u) << describe(today);
    EXPECT_EQ(today.sharingUnavailable, !shares);
    for (const std::string name : {"keep", "docs/keep"})
        EXPECT_EQ(inodeOf(copy + "/" + name) == inodeOf(yesterday + "/" + name), shares) << name;
    for (const std::string name : {"docs/change", "run.sh"})
        EXPECT_NE(inodeOf(copy + "/" + name), inodeOf(yesterday + "/" + name)) << name;
    for (const std::string name : {"keep", "docs/keep", "docs/change", "docs/new", "run.sh"})
        EXPECT_EQ(readFile(copy + "/" + name), readFile(m_source + "/" + name)) << name;
    EXPECT_FALSE(std::filesystem::exists(copy + "/docs/gone"));
    if (shares) {
        EXPECT_EQ(compareTrees(m_source, copy), std::vector<std::string>{});
    }

    // The same day again after a change of mode only: today's name gets a
    // file of its own, yesterday's keeps its mode.
    ASSERT_EQ(::chmod((m_source + "/keep").c_str(), 0600), 0);
    const Result rerun = backup("06-02-2024", "06-01-2024");
    EXPECT_FALSE(rerun.destinationFailed) << describe(rerun);
    EXPECT_NE(inodeOf(copy + "/keep"), inodeOf(yesterday + "/keep"));
    EXPECT_EQ(snapshot(yesterday), before) << "the earlier backup is left exactly as it was";

    std::filesystem::remove_all(m_volume.path() + "/Backup 06-01-2024");
    for (const std::string name : {"keep", "docs/keep", "docs/change", "docs/new", "run.sh"})
        EXPECT_EQ(readFile(copy + "/" + name), readFile(m_source + "/" + name)) << name;
    if (shares) {
        EXPECT_EQ(compareTrees(m_source, copy), std::vector<std::string>{});
    }
}

INSTANTIATE_TEST_SUITE_P(Volumes, PosixHistory,
                         ::testing::Values(History{Filesystem::Ext4, true}, History{Filesystem::ExFat, false}),
                         [](const auto &info) { return info.param.shares ? "Ext4" : "ExFat"; });
