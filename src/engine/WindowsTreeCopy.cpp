#include "engine/WindowsTreeCopy.h"

#include "engine/LongPath.h"
#include "engine/RunStart.h"
#include "engine/TreeWalk.h"
#include "engine/WindowsCopyWalk.h"
#include "engine/WindowsItemCopy.h"
#include "engine/WindowsMetadata.h"
#include "engine/WindowsRunContext.h"
#include "engine/WindowsSupport.h"
#include "platform/windows/WideText.h"

#include <windows.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace drovanta::engine::windows {

namespace {

using platform::utf8Text;

// The earlier backup's folder named by `params.previousTarget`, reached
// beneath the target root without following a link; the folders on the way
// are held for as long as the Place lives. An empty path when there is none
// to share with.
struct Previous {
    std::wstring path;
    Place place;
};

Previous openPrevious(const Params &params)
{
    Previous previous;
    if (params.previousTarget.empty())
        return previous;
    const std::wstring path = normalized(params.previousTarget);
    if (!openPlace(normalized(params.targetRoot), path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, previous.place))
        previous.path = path;
    return previous;
}

// Failures before the run's threads start go straight into the result.
void failDestination(Result &result, const std::wstring &path, Error error)
{
    result.destinationFailed = true;
    result.destinationFailure = failureOf(path, error);
}

void failSource(Result &result, const std::wstring &path, Error error)
{
    result.failures.push_back(failureOf(path, error));
}

// What the run writes into: the copy of a source folder (made, or merged
// into, in place of whatever else has its name) or the backup folder
// itself (made when missing, never replaced, never followed).
enum class TargetKind { TreeFolder, BackupFolder };

// Opens `folder`'s target, reached as `to`, clears what an interrupted run
// left in it, and fits the run to its filesystem (`source` is what is
// copied). False when the destination has failed, said in `result`.
bool openTarget(RunContext &run, Folder &folder, const Place &to, const std::wstring &source, TargetKind kind,
                Result &result)
{
    const char *const operation = kind == TargetKind::TreeFolder ? "create folder" : "open folder";
    BY_HANDLE_FILE_INFORMATION ignored{};
    Error error;
    if (to.name.empty()) {
        error = openRoot(folder.target, targetFolderAccess, folder.targetHandle, ignored, operation);
    } else {
        error = kind == TargetKind::TreeFolder ? makeFolder(folder.target, folder.created)
                                               : openBackupFolder(folder.target, folder.created);
        if (!error)
            error = openRealFolder(folder.target, targetFolderAccess, folder.targetHandle, ignored, operation);
    }
    if (error) {
        failDestination(result, folder.target, error);
        return false;
    }
    if (!folder.created)
        removeLeftovers(folder.target, folder.source);
    run.fatTimes = keepsFatTimes(toExtendedPath(source)) || keepsFatTimes(toExtendedPath(folder.target));
    run.filesystem = utf8Text(filesystemOf(toExtendedPath(folder.target)));
    return true;
}

} // namespace

Result copyTree(const Params &params, ProgressSink &progress, const std::atomic<bool> &stop, HardLinks *runLinks)
{
    Result result;
    const std::wstring source = normalized(params.source);
    const std::wstring target = normalized(params.target);
    if (endsBeforeStart(params, utf8Text(source), utf8Text(baseName(source)), stop, result))
        return result;
    RunContext run{params, progress, stop, runLinks};
    auto root = std::make_shared<Folder>(run, source, target);

    // The source as it is now: a folder that has become a link or junction
    // is copied as one; nothing is read through a link.
    Place from;
    BY_HANDLE_FILE_INFORMATION info{};
    Error error = openPlace(normalized(params.sourceRoot), source, sourceFolderAccess, from);
    if (!error) {
        error = from.name.empty() ? openRoot(source, sourceFolderAccess, root->sourceHandle, info, "open folder")
                                  : openRealFolder(source, sourceFolderAccess, root->sourceHandle, info, "open folder");
    }
    const bool isLink = error.code == stoppedOnLink && !from.name.empty();
    if (error && !isLink) {
        failSource(result, source, error);
        return result;
    }
    Place to;
    error = openPlace(normalized(params.targetRoot), target, targetFolderAccess, to);
    if (error) {
        failDestination(result, target, error);
        return result;
    }
    if (isLink) {
        if (to.name.empty()) {
            failSource(result, source, {ERROR_ALREADY_EXISTS, "copy"});
            return result;
        }
        copyReparsePoint(run, source, target, info.dwFileAttributes, result);
        run.collect(result);
        return result;
    }
    root->info = basicOf(info);
    if (!to.name.empty() && keptInPlace(run, target)) {
        result.kept.push_back(utf8Text(target));
        return result;
    }
    if (!openTarget(run, *root, to, source, TargetKind::TreeFolder, result))
        return result;
    if (hasOwnAccessRules(root->sourceHandle.get()))
        run.note(NoteKind::AccessControlLists);
    const Previous earlier = openPrevious(params);
    root->setPrevious(earlier.path);
    root->completes = !to.name.empty(); // a root keeps its own times and attributes
    CopyWalkSystem system(run);
    copyTreeOf(run, system, std::move(root), result);
    return result;
}

Result copyFile(const Params &params, ProgressSink &progress, const std::atomic<bool> &stop, HardLinks *runLinks)
{
    Result result;
    const std::wstring source = normalized(params.source);
    const std::wstring target = normalized(params.target);
    const std::wstring name = baseName(source);
    if (endsBeforeStart(params, utf8Text(source), utf8Text(name), stop, result))
        return result;
    Place from;
    if (const Error error = openPlace(normalized(params.sourceRoot), source, sourceFolderAccess, from)) {
        failSource(result, source, error);
        return result;
    }
    WIN32_FILE_ATTRIBUTE_DATA info{};
    if (from.name.empty()) {
        failSource(result, source, {ERROR_DIRECTORY, "copy"});
        return result;
    }
    if (!::GetFileAttributesExW(toExtendedPath(source).c_str(), GetFileExInfoStandard, &info)) {
        failSource(result, source, lastError("read information"));
        return result;
    }
    const bool reparse = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !reparse) {
        failSource(result, source, {ERROR_DIRECTORY, "copy"});
        return result;
    }
    // The target is the backup folder itself: made when missing, never
    // replaced, never followed.
    Place to;
    RunContext run{params, progress, stop, runLinks};
    auto folder = std::make_shared<Folder>(run, from.parent, target);
    if (const Error error = openPlace(normalized(params.targetRoot), target, targetFolderAccess, to)) {
        failDestination(result, target, error);
        return result;
    }
    if (!openTarget(run, *folder, to, source, TargetKind::BackupFolder, result))
        return result;
    const Previous earlier = openPrevious(params);
    folder->setPrevious(earlier.path);
    copyItem(run, *folder, name, info.dwFileAttributes, result);
    folder.reset();
    run.collect(result);
    return result;
}

} // namespace drovanta::engine::windows
