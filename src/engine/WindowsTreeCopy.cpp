#include "engine/WindowsTreeCopy.h"

#include "engine/JobQueue.h"
#include "engine/LongPath.h"
#include "engine/RunStart.h"
#include "engine/SystemItems.h"
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
using platform::wideText;

// Enough queued files to keep the workers busy while the walk reads a large
// folder, few enough that a million-entry tree needs no more memory.
constexpr std::size_t queueCapacity = 2048;

struct Job {
    std::shared_ptr<Folder> folder;
    std::wstring name;
    DWORD attributes = 0;
};

// Removes temporary files that an interrupted run left in target folder
// `folder`: items with the temporary form whose name the source folder
// `source` does not hold (a source item of that name is copied instead).
void removeLeftovers(const std::wstring &folder, const std::wstring &source)
{
    WIN32_FIND_DATAW data;
    const std::wstring pattern = toExtendedPath(join(folder, wideText(temporaryPrefix) + L"*"));
    const SearchHandle find(
        ::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0));
    if (!find.valid())
        return;
    do {
        if (!isTemporaryName(utf8Text(data.cFileName))
            || ::GetFileAttributesW(toExtendedPath(join(source, data.cFileName)).c_str()) != INVALID_FILE_ATTRIBUTES
            || ::GetLastError() != ERROR_FILE_NOT_FOUND)
            continue;
        const std::wstring path = toExtendedPath(join(folder, data.cFileName));
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            ::RemoveDirectoryW(path.c_str());
        else {
            ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            ::DeleteFileW(path.c_str());
        }
    } while (::FindNextFileW(find.get(), &data));
}

// Creates (or merges into) the copy of a folder. A link or file of that name
// in the target is replaced, never followed. Fails as "create folder".
Error makeFolder(const std::wstring &target, bool &fresh)
{
    constexpr const char *operation = "create folder";
    const std::wstring path = toExtendedPath(target);
    fresh = ::CreateDirectoryW(path.c_str(), nullptr) != 0;
    if (fresh)
        return {};
    if (const Error error = lastError(operation); error.code != ERROR_ALREADY_EXISTS)
        return error;
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return lastError(operation);
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        if (attributes & FILE_ATTRIBUTE_READONLY)
            ::SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
        return {};
    }
    // A file may be shared with an earlier backup: only this name goes.
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (!::RemoveDirectoryW(path.c_str()))
            return lastError(operation);
    } else if (const Error removed = removeName(target, operation)) {
        return removed;
    }
    if (!::CreateDirectoryW(path.c_str(), nullptr))
        return lastError(operation);
    fresh = true;
    return {};
}

// Creates the backup folder `folder` when missing, one level only; an item
// in its place that is not a real folder is refused, never followed. Fails
// as "create folder".
Error openBackupFolder(const std::wstring &folder, bool &fresh)
{
    constexpr const char *operation = "create folder";
    const std::wstring path = toExtendedPath(folder);
    fresh = ::CreateDirectoryW(path.c_str(), nullptr) != 0;
    if (fresh)
        return {};
    if (const Error error = lastError(operation); error.code != ERROR_ALREADY_EXISTS)
        return error;
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return lastError(operation);
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) || (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return {ERROR_DIRECTORY, operation};
    return {};
}

// A restore without leave to overwrite keeps what the user has where a
// folder would go when it is not a real folder (a file, or a link or
// junction, which is never followed either way).
bool keptInPlace(const RunContext &run, const std::wstring &target)
{
    if (!run.params.keepExisting)
        return false;
    const DWORD attributes = ::GetFileAttributesW(toExtendedPath(target).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES
        && (!(attributes & FILE_ATTRIBUTE_DIRECTORY) || (attributes & FILE_ATTRIBUTE_REPARSE_POINT));
}

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

class TreeCopy final {
public:
    explicit TreeCopy(RunContext &run) : m_run(run), m_queue(queueCapacity) {}

    Result run(std::shared_ptr<Folder> root)
    {
        const Result copied = runWithWorkers(m_queue, m_run.params.workers, [this](Result &result) { work(result); },
                                             [&](const auto &firstWorker) {
                                                 m_inline = !firstWorker();
                                                 walk(std::move(root));
                                             });
        Result total = std::move(m_walkResult);
        total.merge(copied);
        return total;
    }

private:
    void work(Result &result)
    {
        while (auto job = m_queue.pop()) {
            if (m_run.cutShort()) {
                result.stopped = result.stopped || m_run.stop.load();
                continue;
            }
            copyItem(m_run, *job->folder, job->name, job->attributes, result);
        }
    }

    void queue(Job job)
    {
        if (m_inline)
            copyItem(m_run, *job.folder, job.name, job.attributes, m_walkResult);
        else
            m_queue.push(std::move(job));
    }

    // Depth first with the open listings in `levels`, not on the call stack:
    // the depth of the tree is the user's to choose.
    void walk(std::shared_ptr<Folder> root)
    {
        struct Level {
            std::shared_ptr<Folder> folder;
            SearchHandle find{};
        };
        std::vector<Level> levels;
        levels.push_back({std::move(root)});
        while (!levels.empty()) {
            if (m_run.cutShort()) {
                m_walkResult.stopped = m_walkResult.stopped || m_run.stop.load();
                break;
            }
            Level &level = levels.back();
            WIN32_FIND_DATAW data;
            bool found = false;
            if (!level.find.valid()) {
                const std::wstring pattern = toExtendedPath(join(level.folder->source, L"*"));
                level.find.reset(::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch,
                                                    nullptr, FIND_FIRST_EX_LARGE_FETCH));
                if (!level.find.valid()) {
                    m_run.fail(m_walkResult, level.folder->source, lastError("list folder"), false);
                    levels.pop_back();
                    continue;
                }
                found = true;
            } else {
                found = ::FindNextFileW(level.find.get(), &data) != 0;
            }
            if (!found) {
                levels.pop_back();
                continue;
            }
            const std::wstring name = data.cFileName;
            if (name == L"." || name == L"..")
                continue;
            if (!level.folder->claimName(name)) {
                m_walkResult.failures.push_back({utf8Text(join(level.folder->source, name)), "copy",
                                                 "another item differs from it only in upper/lower case",
                                                 static_cast<int>(ERROR_ALREADY_EXISTS)});
                continue;
            }
            const bool reparse = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
            if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !reparse) {
                if (auto child = enterFolder(level.folder, name))
                    levels.push_back({std::move(child)});
                continue;
            }
            queue(Job{level.folder, name, data.dwFileAttributes});
        }
    }

    std::shared_ptr<Folder> enterFolder(const std::shared_ptr<Folder> &parent, const std::wstring &name)
    {
        auto child = std::make_shared<Folder>(m_run, join(parent->source, name), join(parent->target, name));
        if (!parent->fresh && keptInPlace(m_run, child->target)) {
            m_walkResult.kept.push_back(utf8Text(child->target));
            return nullptr;
        }
        BY_HANDLE_FILE_INFORMATION info{};
        if (const Error error
            = openRealFolder(child->source, sourceFolderAccess, child->sourceHandle, info, "read information")) {
            if (error.code == stoppedOnLink) { // became a link since it was listed: copied as one
                queue(Job{parent, name, info.dwFileAttributes});
            } else {
                m_run.fail(m_walkResult, child->source, error, false);
            }
            return nullptr;
        }
        child->info = basicOf(info);
        if (hasOwnAccessRules(child->sourceHandle.get()))
            m_run.note(NoteKind::AccessControlLists);
        Error error = makeFolder(child->target, child->fresh);
        if (!error) {
            BY_HANDLE_FILE_INFORMATION ignored{};
            error = openRealFolder(child->target, targetFolderAccess, child->targetHandle, ignored, "create folder");
        }
        if (error) {
            m_run.fail(m_walkResult, child->target, error, true);
            return nullptr;
        }
        if (!child->fresh)
            removeLeftovers(child->target, child->source);
        if (!parent->previous.empty())
            child->setPrevious(join(parent->previous, name));
        ++m_walkResult.folders;
        child->complete = true;
        return child;
    }

    RunContext &m_run;
    JobQueue<Job> m_queue;
    Result m_walkResult;
    bool m_inline = false;

};

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
        error = kind == TargetKind::TreeFolder ? makeFolder(folder.target, folder.fresh)
                                               : openBackupFolder(folder.target, folder.fresh);
        if (!error)
            error = openRealFolder(folder.target, targetFolderAccess, folder.targetHandle, ignored, operation);
    }
    if (error) {
        failDestination(result, folder.target, error);
        return false;
    }
    if (!folder.fresh)
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
    ++result.folders;
    root->complete = !to.name.empty(); // a root keeps its own times and attributes
    TreeCopy copy(run);
    result.merge(copy.run(std::move(root)));
    run.collect(result);
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
