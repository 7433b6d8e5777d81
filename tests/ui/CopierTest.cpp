#include "CopyFakes.h"
#include "UiFixture.h"

#include "core/backup/BackupRun.h"
#include "core/backup/RunReport.h"
#include "core/backup/StopCopy.h"

#include <QTemporaryDir>

#include <fstream>
#include <optional>

namespace fs = std::filesystem;
using drovanta::backup::BackupRun;
using drovanta::backup::RunReport;
using drovanta::backup::StopCopy;

namespace {

class CopierTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_temp.isValid());
        root = fs::path(m_temp.path().toStdString());
        source = root / "source";
        target = root / "Backup 08-31-2021";
        fs::create_directories(source);
        drovanta::platform::services().copyEngine = &engine;
        StopCopy = false;
    }
    void TearDown() override { StopCopy = false; }

    void write(const fs::path &path, const std::string &content)
    {
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << content;
    }
    static std::string read(const fs::path &path)
    {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    void threeFoldersAndOneFile()
    {
        write(source / "A" / "a.txt", "alpha");
        write(source / "B" / "deep" / "b.txt", "beta");
        write(source / "C" / "c.txt", "gamma");
        write(source / "notes.txt", "notes");
    }
    std::vector<std::string> labelsShown() const
    {
        std::vector<std::string> labels;
        for (const auto &text : fakes.messageBoxes.texts())
            labels.push_back(text.substr(text.find("at line ") + 8, 3));
        return labels;
    }
    // The copier's part of a run: what FS_CopyXToY does for it.
    void run()
    {
        backupRun.emplace(drovanta::backup::BackupRequest{source.string(), target.string()}, display, engine);
        backupRun->copy();
    }
    RunReport &report() { return backupRun->report(); }

    QTemporaryDir m_temp;
    fs::path root, source, target;
    drovanta::testing::FakeServices fakes;
    drovanta::testing::FsCopyEngine engine;
    drovanta::testing::RecordingDisplay display;
    std::optional<BackupRun> backupRun;
};

} // namespace

TEST_F(CopierTest, CopiesFoldersFirstThenFilesWithProgressPerTopLevelItem)
{
    threeFoldersAndOneFile();
    run();

    EXPECT_EQ(display.values, (std::vector<double>{25, 50, 75, 100}));
    ASSERT_EQ(display.texts.size(), 4u);
    std::vector<std::string> folderTexts(display.texts.begin(), display.texts.begin() + 3);
    std::sort(folderTexts.begin(), folderTexts.end());
    EXPECT_EQ(folderTexts, (std::vector<std::string>{"Copy folder A", "Copy folder B", "Copy folder C"}));
    EXPECT_EQ(display.texts[3], "Copy file notes.txt");
    EXPECT_EQ(read(target / "A" / "a.txt"), "alpha");
    EXPECT_EQ(read(target / "B" / "deep" / "b.txt"), "beta");
    EXPECT_EQ(read(target / "notes.txt"), "notes");
    EXPECT_EQ(display.repaints, 8);
    EXPECT_TRUE(fakes.messageBoxes.shown.empty());
    EXPECT_TRUE(report().allCopied());
}

TEST_F(CopierTest, AnEmptySourceCreatesTheBackupFolderAndLeavesTheBarAlone)
{
    run();
    EXPECT_TRUE(fs::is_directory(target));
    EXPECT_TRUE(display.values.empty());
    EXPECT_TRUE(display.texts.empty());
    EXPECT_TRUE(fakes.messageBoxes.shown.empty());
}

TEST_F(CopierTest, AStopBeforeTheFirstCheckCreatesNothing)
{
    threeFoldersAndOneFile();
    display.onEvents = [](int point) {
        if (point == 1)
            StopCopy = true;
    };
    run();
    EXPECT_FALSE(fs::exists(target));
    EXPECT_TRUE(engine.calls.empty());
}

TEST_F(CopierTest, AStopDuringTheFolderLoopFinishesTheCurrentTreeAndCopiesNothingMore)
{
    threeFoldersAndOneFile();
    // The fifth event point comes while the first folder is about to be copied.
    display.onEvents = [](int point) {
        if (point == 5)
            StopCopy = true;
    };
    run();
    ASSERT_EQ(engine.calls.size(), 1u);
    EXPECT_TRUE(fs::is_directory(target / fs::path(engine.calls[0]).filename()));
    EXPECT_FALSE(fs::exists(target / "notes.txt"));
    EXPECT_EQ(display.values, (std::vector<double>{25}));
}

TEST_F(CopierTest, AStopDuringTheFileLoopFinishesTheCurrentFileOnly)
{
    write(source / "one.txt", "1");
    write(source / "two.txt", "2");
    display.onEvents = [](int point) {
        if (point == 5) // the first file's second event point
            StopCopy = true;
    };
    run();
    EXPECT_EQ(engine.calls.size(), 1u);
}

TEST_F(CopierTest, ASecondBackupOnTheSameDayMergesIntoTheFolderWithoutABox)
{
    threeFoldersAndOneFile();
    write(target / "notes.txt", "old notes");
    write(target / "kept.txt", "kept");

    run();
    EXPECT_TRUE(fakes.messageBoxes.shown.empty()) << fakes.messageBoxes.texts()[0];
    EXPECT_EQ(read(target / "notes.txt"), "notes");
    EXPECT_EQ(read(target / "kept.txt"), "kept");
    EXPECT_EQ(read(target / "A" / "a.txt"), "alpha");
}

TEST_F(CopierTest, ALinkAtTheBackupFoldersPlaceRefusesTheRunBeforeAnythingIsWritten)
{
    threeFoldersAndOneFile();
    const fs::path elsewhere = root / "elsewhere";
    fs::create_directory(elsewhere);
    fs::create_directory_symlink(elsewhere, target);

    run();
    const std::string message = "'" + target.string() +
        "' is not a folder made by a backup (it is a link). Remove or rename it and start again.";
    EXPECT_EQ(fakes.messageBoxes.texts(), std::vector<std::string>{message});
    EXPECT_TRUE(report().refused());
    EXPECT_TRUE(engine.calls.empty());
    EXPECT_TRUE(fs::is_empty(elsewhere));
    EXPECT_TRUE(fs::is_symlink(target));
}

TEST_F(CopierTest, ABackupFolderAnotherRunIsWritingToRefusesTheRun)
{
    // The folder's lock is held by another process.
    class HeldElsewhere final : public drovanta::platform::FileOperations {
    public:
        std::unique_ptr<drovanta::platform::Folder> getFolder(const std::string &path) const override
        {
            return real.getFolder(path);
        }
        void createFolder(const std::string &path) const override { real.createFolder(path); }
        std::unique_ptr<drovanta::platform::FolderLock> lockFolder(const std::string &) const override
        {
            return nullptr;
        }
        std::optional<std::string> writeProblem(const std::string &path) const override
        {
            return real.writeProblem(path);
        }
        drovanta::platform::StdFileOperations real;
    } held;
    drovanta::platform::services().files = &held;
    threeFoldersAndOneFile();

    run();
    EXPECT_EQ(fakes.messageBoxes.texts(),
              std::vector<std::string>{"Another backup is writing to " + target.string() +
                                       ". Wait until it has finished, then start again."});
    EXPECT_TRUE(report().refused());
    EXPECT_TRUE(engine.calls.empty());
}

TEST_F(CopierTest, EachItemGoesToTheEngineWithTheSourceRootAndTheDestinationRoot)
{
    threeFoldersAndOneFile();
    std::vector<std::pair<std::string, std::string>> roots;
    engine.before = [&](const drovanta::engine::Params &params) {
        roots.emplace_back(params.sourceRoot, params.targetRoot);
    };

    run();
    EXPECT_EQ(roots, (std::vector<std::pair<std::string, std::string>>(4, {source.string(), root.string()})));
}

TEST_F(CopierTest, ASourceThatCannotBeOpenedReportsEachStatementThatNeedsItAndCopiesNothing)
{
    source = root / "missing";
    run();
    EXPECT_EQ(labelsShown(), (std::vector<std::string>{"104", "110", "114", "140"}));
    EXPECT_TRUE(fs::is_directory(target));
    EXPECT_TRUE(engine.calls.empty());
}

TEST_F(CopierTest, WhatTheEngineCouldNotCopyGoesIntoTheRunsReport)
{
    threeFoldersAndOneFile();
    drovanta::engine::Result partial;
    partial.failures.push_back({(source / "B" / "deep" / "b.txt").string(), "read", "Input/output error", 5});
    engine.canned[(source / "B").string()] = partial;

    run();
    EXPECT_EQ(report().result().failures.size(), 1u);
    EXPECT_FALSE(report().allCopied());
    EXPECT_EQ(display.values.size(), 4u);
    EXPECT_NE(report().detailsText().find("b.txt: read: Input/output error"), std::string::npos);
    EXPECT_EQ(report().closingText(),
              "Done.\n\n1 file or folder could not be copied. The details name each one and the reason.");
}

TEST_F(CopierTest, NotesAndItemsNotCopiedByDesignReachTheClosingMessageWithoutMakingTheRunFail)
{
    threeFoldersAndOneFile();
    drovanta::engine::Result kept;
    kept.addNote(drovanta::engine::NoteKind::OwnersAndPermissions, "exFAT", 1000);
    kept.skipped.push_back({"/home", drovanta::engine::SkipReason::OtherDrive});
    drovanta::engine::Result more;
    more.addNote(drovanta::engine::NoteKind::OwnersAndPermissions, "exFAT", 234);
    engine.canned[(source / "A").string()] = kept;
    engine.canned[(source / "B").string()] = more;

    run();
    EXPECT_TRUE(report().allCopied());
    EXPECT_EQ(report().closingText(), "Done.\n\nOwners and permissions could not be kept on this drive (exFAT): 1,234 "
                                    "items.\n\n1 item is not copied by design; the details name it.");
    EXPECT_EQ(report().detailsText(),
              "Not copied by design:\n'/home' is another drive: choose it as a source to back it up\n");
}

TEST_F(CopierTest, ADestinationThatFailsStopsTheRunBeforeTheNextItem)
{
    threeFoldersAndOneFile();
    drovanta::engine::Result full;
    full.destinationFailed = true;
    full.destinationFailure = {(target / "A" / "a.txt").string(), "write", "No space left on device", 28};
    engine.before = [&](const drovanta::engine::Params &params) {
        if (engine.calls.size() == 1)
            engine.canned[params.source] = full;
    };

    run();
    EXPECT_EQ(engine.calls.size(), 1u);
    EXPECT_FALSE(fs::exists(target / "notes.txt"));
    EXPECT_TRUE(report().destinationFailed());
    EXPECT_NE(report().closingText().find("the destination failed: No space left on device"), std::string::npos);
    EXPECT_EQ(report().closingText().rfind("Done.", 0), 0u);
}
