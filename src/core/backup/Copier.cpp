#include "core/backup/Copier.h"

#include "core/backup/BackupRun.h"
#include "core/backup/CopyDisplay.h"
#include "core/backup/EarlierBackup.h"
#include "core/backup/RunProgress.h"
#include "core/backup/RunReport.h"
#include "core/backup/StopCopy.h"

#include "core/shell/ErrorBox.h"

#include "platform/Failure.h"
#include "platform/MessageBoxes.h"
#include "platform/Services.h"

#include <algorithm>
#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

namespace drovanta::backup {
namespace {

#ifdef _WIN32
constexpr char separator = '\\';
#else
constexpr char separator = '/';
#endif

// Stops the run between items: a stop request, or a destination that has
// failed (every further item would fail the same way).
bool stopRequested()
{
    BackupRun *run = BackupRun::current();
    return StopCopy.load() || (run && run->report().destinationFailed());
}

// Hands one operation of the engine's run to the front-end, which runs it
// without freezing, and adds its result to the run's report. Nothing
// escapes: an operation that could not even start is a failure of its item.
void runEngine(const std::string &path, const std::string &name,
               engine::Result (engine::CopyRun::*operation)(const engine::Params &, engine::ProgressSink &,
                                                            const std::atomic<bool> &),
               const engine::Params &params)
{
    BackupRun *run = BackupRun::current();
    if (run == nullptr)
        return;
    RunReport &report = run->report();
    try {
        engine::CopyRun *copyRun = run->engineRun();
        if (copyRun == nullptr)
            throw Failure("The backup folder is not open");
        const engine::Result result = run->display().wait(
            [&] { return (copyRun->*operation)(params, run->progress(), StopCopy); });
        report.add(result);
        if (result.stopped)
            report.addCutShort(name);
    } catch (...) {
        report.addFailure(path, "copy", shell::currentFailureDescription());
    }
}

} // namespace

std::atomic<bool> StopCopy{false};

std::string destinationRootOf(const std::string &backupFolderPath)
{
    std::filesystem::path folder(backupFolderPath);
    if (!folder.has_filename())
        folder = folder.parent_path();
    return folder.parent_path().string();
}

std::string childPath(const std::string &folder, const std::string &name)
{
    if (!folder.empty() && (folder.back() == separator || folder.back() == '/'))
        return folder + name;
    return folder + separator + name;
}

void Main::FS_CopyFolder(const platform::FolderItem &folder, const std::string &targetPath, const Roots &roots)
{
    engine::Params params;
    params.source = folder.path;
    params.target = targetPath;
    params.sourceRoot = roots.source;
    params.targetRoot = roots.target;
    if (!roots.previous.empty())
        params.previousTarget = childPath(roots.previous, folder.name);
    params.atDriveRoot = true;
    runEngine(folder.path, folder.name, &engine::CopyRun::copyTree, params);
}

namespace {

engine::Params fileParams(const platform::FolderItem &file, const std::string &folderPath, const Roots &roots)
{
    engine::Params params;
    params.source = file.path;
    params.target = folderPath;
    params.sourceRoot = roots.source;
    params.targetRoot = roots.target;
    params.previousTarget = roots.previous;
    params.atDriveRoot = true;
    return params;
}

// The engine may copy the drive root's files ahead of the loop that names
// them one by one: their cold reads then overlap, as those of a folder's
// files do, while the bar still names each file in turn.
void expectRootFiles(const std::vector<platform::FolderItem> &files, const std::string &folderPath,
                     const Roots &roots)
{
    BackupRun *run = BackupRun::current();
    engine::CopyRun *copyRun = run != nullptr ? run->engineRun() : nullptr;
    if (copyRun == nullptr)
        return;
    std::vector<engine::Params> all;
    all.reserve(files.size());
    for (const auto &file : files)
        all.push_back(fileParams(file, folderPath, roots));
    copyRun->expectFiles(all, run->progress(), StopCopy);
}

// What was copied ahead for files the loop never came to (a stop, a failed
// destination) still belongs in the report.
void settleRootFiles()
{
    BackupRun *run = BackupRun::current();
    engine::CopyRun *copyRun = run != nullptr ? run->engineRun() : nullptr;
    if (copyRun == nullptr)
        return;
    run->report().add(run->display().wait([&] { return copyRun->settleFiles(); }));
}

} // namespace

void Copy::FS_CopyFile(const platform::FolderItem &file, const std::string &folderPath, const Roots &roots)
{
    runEngine(file.path, file.name, &engine::CopyRun::copyFile, fileParams(file, folderPath, roots));
}

void Copy::FS_CopyXToY(std::string sourcePath, std::string backupFolderPath, bool fullCopy)
{
    BackupRun *run = BackupRun::current();
    if (run == nullptr) {
        // Called on its own: a run of its own, shown on the front-end's display.
        const platform::Services &services = platform::services();
        if (services.copyEngine == nullptr)
            return;
        BackupRun own({sourcePath, backupFolderPath, 0, fullCopy}, copyDisplay(), *services.copyEngine);
        own.copy();
        return;
    }
    shell::OnError on("in Drovanta2021/08/31.Copy.FS_CopyXToY ");
    CopyDisplay &display = run->display();
    RunReport &report = run->report();
    const platform::FileOperations &files = *platform::services().files;
    std::unique_ptr<platform::Folder> source;
    Roots roots{sourcePath, destinationRootOf(backupFolderPath), {}};
    int total = 0;
    int counter = 0;

    // The bar moves with the bytes between two items.
    struct Following {
        CopyDisplay &display;
        ~Following() { display.followBytes(nullptr, 0, 0); }
    } following{display};

    const auto folder = [&]() -> const platform::Folder & {
        if (!source)
            throw Failure("Object required");
        return *source;
    };
    const auto showProgress = [&] {
        if (total == 0)
            throw Failure("Division by zero");
        const double value = static_cast<double>(counter) / static_cast<double>(total) * 100.0;
        display.setProgressValue(value);
        const double next = std::min(100.0, static_cast<double>(counter + 1) / static_cast<double>(total) * 100.0);
        display.followBytes(&run->progress(), value, next);
    };

    // However the call ends, a stop request is reported with how far the
    // run got.
    bool counted = false;
    struct StopRecorder {
        RunReport &report;
        const bool &counted;
        const int &total;
        const int &counter;
        ~StopRecorder()
        {
            if (StopCopy.load())
                report.recordStop(counted, total, counter);
        }
    } stopRecorder{report, counted, total, counter};
    // Every statement that failed has shown its box; the report counts them.
    struct FailedSteps {
        RunReport &report;
        const shell::OnError &on;
        ~FailedSteps() { report.addFailedSteps(on.failures()); }
    } failedSteps{report, on};

    on.run(100, [&] { display.processEvents(); });
    if (on.when(102, [] { return StopCopy.load(); }))
        return;
    on.run(104, [&] { source = files.getFolder(sourcePath); });
    std::optional<std::string> refusal;
    on.run(106, [&] {
        refusal = run->takeBackupFolder();
        if (!refusal)
            return;
        report.refuse(*refusal);
        platform::MessageBox box;
        box.text = *refusal;
        platform::services().messageBoxes->show(box);
    });
    if (refusal)
        return;
    if (!fullCopy && !run->request().fullCopy) {
        roots.previous = earlierBackupFolder(backupFolderPath);
        if (!roots.previous.empty())
            report.setSharedWith(backupFolderName(roots.previous));
    }
    run->beginCopy(roots.previous);
    on.run(108, [&] { display.processEvents(); });
    on.run(110, [&] {
        const auto subFolderCount = folder().subFolders().size();
        total = static_cast<int>(subFolderCount + folder().files().size());
        counted = true;
    });
    on.run(112, [&] { display.processEvents(); });

    std::vector<platform::FolderItem> subFolders;
    on.run(114, [&] { subFolders = folder().subFolders(); });
    for (const auto &subFolder : subFolders) {
        if (on.when(116, stopRequested))
            continue;
        on.run(118, [&] { display.processEvents(); });
        on.run(120, [&] { ++counter; });
        on.run(122, showProgress);
        on.run(124, [&] { display.setProgressText("Copy folder " + subFolder.name); });
        on.run(126, [&] { display.processEvents(); });
        on.run(128, [&] { display.repaint(); });
        on.run(130, [&] { display.processEvents(); });
        on.run(132, [&] { Main::FS_CopyFolder(subFolder, childPath(backupFolderPath, subFolder.name), roots); });
        on.run(134, [&] { display.repaint(); });
        on.run(136, [&] { display.processEvents(); });
    }

    if (on.when(138, stopRequested))
        return;

    std::vector<platform::FolderItem> rootFiles;
    on.run(140, [&] {
        rootFiles = folder().files();
        expectRootFiles(rootFiles, backupFolderPath, roots);
    });
    for (const auto &file : rootFiles) {
        if (on.when(142, stopRequested))
            continue;
        on.run(144, [&] { display.processEvents(); });
        on.run(146, [&] { ++counter; });
        on.run(148, [&] { display.processEvents(); });
        on.run(150, showProgress);
        on.run(152, [&] { display.setProgressText("Copy file " + file.name); });
        on.run(154, [&] { display.processEvents(); });
        on.run(156, [&] { display.repaint(); });
        on.run(158, [&] { Copy::FS_CopyFile(file, backupFolderPath, roots); });
        on.run(160, [&] { display.repaint(); });
        on.run(162, [&] { display.processEvents(); });
    }
    settleRootFiles();
}

} // namespace drovanta::backup
