#include "engine/PosixTreeCopy.h"

#include "engine/FaultInjection.h"
#include "engine/PosixCopyRun.h"
#include "engine/PosixCopyWalk.h"
#include "engine/PosixItemCopy.h"
#include "engine/PosixRunContext.h"
#include "engine/RunStart.h"
#include "engine/SystemItems.h"

#include "engine/TreeWalk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace drovanta::engine::posix {

namespace {

// Where an item named by a path lies: the folder that holds it, opened
// beneath the root, and its name there. When the path is the root itself,
// `self` holds the root and `name` is empty.
struct Place {
    UniqueFd parent;
    std::string name;
    UniqueFd self;
};

// Fails as "open folder".
// `rootFd`, when not -1, is the root already open.
Error openPlace(const std::string &root, const std::string &path, Place &place, int rootFd = -1)
{
    BeneathRoot split;
    if (const Error error = splitAtRoot(root, path, split))
        return error;
    Opened opened = rootFd >= 0 ? Opened(UniqueFd(::fcntl(rootFd, F_DUPFD_CLOEXEC, 0))) : openFolderPath(split.root);
    if (!opened.failed() && !opened.value.valid())
        opened = lastError("open folder");
    if (opened.failed())
        return opened.error;
    if (split.below.empty()) {
        place.self = std::move(opened.value);
        return {};
    }
    place.name = split.below.back();
    if (split.below.size() == 1) {
        place.parent = std::move(opened.value);
        return {};
    }
    Opened parent = openBeneath(opened.value.get(), std::span(split.below).first(split.below.size() - 1));
    if (parent.failed())
        return parent.error;
    place.parent = std::move(parent.value);
    return {};
}

// Where target `path` of a backup run lies, reached beneath the backup
// folder the run holds open. Fails as "open folder".
Error openPlaceInRun(RunShared &shared, const std::string &path, Place &place)
{
    BeneathRoot split;
    if (const Error error = splitAtRoot(shared.backupPath(), path, split))
        return error;
    UniqueFd top(::fcntl(shared.backupFolder(), F_DUPFD_CLOEXEC, 0));
    if (!top.valid())
        return lastError("open folder");
    if (split.below.empty()) {
        place.self = std::move(top);
        return {};
    }
    place.name = split.below.back();
    if (split.below.size() == 1) {
        place.parent = std::move(top);
        return {};
    }
    Opened parent = openBeneath(top.get(), std::span(split.below).first(split.below.size() - 1));
    if (parent.failed())
        return parent.error;
    place.parent = std::move(parent.value);
    return {};
}

// The same item as target `path` in a backup run's earlier backup; invalid
// when there is none to share with.
UniqueFd openPreviousInRun(const RunShared &shared, const std::string &path)
{
    BeneathRoot split;
    if (shared.previousFolder() < 0 || splitAtRoot(shared.backupPath(), path, split))
        return {};
    if (split.below.empty())
        return UniqueFd(::fcntl(shared.previousFolder(), F_DUPFD_CLOEXEC, 0));
    Opened previous = openBeneath(shared.previousFolder(), split.below);
    return previous.failed() ? UniqueFd() : std::move(previous.value);
}

// The earlier backup's folder named by `params.previousTarget`, opened
// beneath the target root without following a link; invalid when there is
// none to share with.
UniqueFd openPrevious(const Params &params)
{
    if (params.previousTarget.empty())
        return {};
    Place place;
    if (openPlace(params.targetRoot, normalized(params.previousTarget), place))
        return {};
    if (place.name.empty())
        return std::move(place.self);
    return UniqueFd(::openat(place.parent.get(), place.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

// Failures before the run's threads start go straight into the result.
void failDestination(Result &result, const std::string &path, Error error)
{
    result.destinationFailed = true;
    result.destinationFailure = {path, error.operation, errorText(error.code), error.code};
}

void failSource(Result &result, const std::string &path, Error error)
{
    result.failures.push_back({path, error.operation, errorText(error.code), error.code});
}

// Whether a backup run can go on writing: its backup folder was opened and
// is still the one its path names. Else the destination has failed.
bool runUsable(const RunShared *shared, Result &result)
{
    if (shared == nullptr)
        return true;
    if (shared->openError()) {
        failDestination(result, shared->backupPath(), shared->openError());
        return false;
    }
    if (shared->gone()) {
        failDestination(result, shared->backupPath(), {ENODEV, "write"});
        return false;
    }
    return true;
}

// A backup run's source root, opened once for all its calls; -1 outside a
// run, or when it cannot be opened (the path is then opened as usual).
int sourceRootIn(RunShared *shared, const Params &params)
{
    return shared != nullptr && !params.sourceRoot.empty() ? shared->sourceRoot(normalized(params.sourceRoot)) : -1;
}

// What one call works with: a backup run's calls share its record of files
// with several names, its check that the backup folder is still there and
// the mask it read once; a call on its own has `ownLinks` only.
RunContext contextFor(const Params &params, ProgressSink &progress, const std::atomic<bool> &stop, RunShared *shared,
                      HardLinks &ownLinks)
{
    if (shared == nullptr)
        return RunContext(params, progress, stop, ownLinks);
    return RunContext(params, progress, stop, shared->hardLinks, [shared] { return shared->gone(); }, shared->umask);
}

// Runs of the engine copy one item of a drive's root each, into the same
// backup folder. On a destination that folds case, an item whose name
// differs only in case from one already in that folder (`folderFd`) would
// land on it.
bool clashesIn(RunContext &run, int folderFd, const std::string &name, const std::string &target, Result &result)
{
    if (!run.destination.foldsCase)
        return false;
    if (faults::Faults *planted = faults::active())
        planted->targetListings.fetch_add(1, std::memory_order_relaxed);
    const Outcome<UniqueDir> listing = openListing(folderFd);
    if (listing.failed())
        return false;
    const std::string folded = foldedName(name);
    bool clash = false;
    while (const dirent *entry = ::readdir(listing.value.get())) {
        if (entry->d_name != name && foldedName(entry->d_name) == folded) {
            clash = true;
            break;
        }
    }
    if (clash)
        run.failWithReason(result, target, {EEXIST, "copy"}, caseClashReason);
    return clash;
}

// A backup run makes each top-level folder under a temporary name and gives
// it its own once complete. A killed run then leaves no half-made folder
// under an item's name: the next run into the backup folder removes it.
// The files inside are made under their names at once, without an unnamed
// file or a temporary name each: on ext4 those took 12-14 % of a first
// copy's processor time. Only on a filesystem that makes unnamed files (a
// local one that renames folders as one step) and does not fold case.
// Returns the temporary name and opens the folder into `folder`, or returns
// "" when the folder is made as any other.
std::string makeHiddenFolder(RunShared &shared, bool asRoot, int parentFd, const std::string &name, UniqueFd &folder)
{
    const Destination &destination = shared.destination(asRoot);
    struct stat existing {};
    if (destination.unnamedFiles == UnnamedFiles::Unsupported || destination.foldsCase
        || ::fstatat(parentFd, name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT)
        return {};
    const std::string hidden
        = underTemporaryName([&](const char *temporary) { return ::mkdirat(parentFd, temporary, 0700) == 0; });
    if (hidden.empty())
        return {};
    folder = UniqueFd(::openat(parentFd, hidden.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folder.valid()) {
        (void)::unlinkat(parentFd, hidden.c_str(), AT_REMOVEDIR);
        return {};
    }
    return hidden;
}

// Gives the complete folder `hidden` its own name `name`, also after a stop
// or a failure: what was copied stays.
void nameHiddenFolder(RunContext &run, int parentFd, const std::string &hidden, const std::string &name,
                      Result &result)
{
    if (::renameat2(parentFd, hidden.c_str(), parentFd, name.c_str(), RENAME_NOREPLACE) == 0)
        return;
    run.fail(result, run.hiddenFor, lastError("create folder"), true);
    run.collect(result);
}

} // namespace

Result copyTree(const Params &params, ProgressSink &progress, const std::atomic<bool> &stop, RunShared *shared)
{
    Result result;
    const std::string source = normalized(params.source);
    const std::string target = normalized(params.target);
    if (endsBeforeStart(params, source, baseName(source), stop, result) || !runUsable(shared, result))
        return result;
    raiseDescriptorLimit();
    HardLinks ownLinks;
    RunContext run = contextFor(params, progress, stop, shared, ownLinks);

    // The source as it is now: a folder that has become a link is copied as
    // a link, one that has gone is reported; nothing outside it is read.
    Place from;
    if (const Error error = openPlace(params.sourceRoot, source, from, sourceRootIn(shared, params))) {
        failSource(result, source, error);
        return result;
    }
    struct stat sourceInfo {};
    UniqueFd sourceFd = std::move(from.self);
    bool isLink = false;
    if (!from.name.empty()) {
        if (::fstatat(from.parent.get(), from.name.c_str(), &sourceInfo, AT_SYMLINK_NOFOLLOW) != 0) {
            failSource(result, source, lastError("read information"));
            return result;
        }
        isLink = S_ISLNK(sourceInfo.st_mode);
        if (!isLink) {
            sourceFd = UniqueFd(
                ::openat(from.parent.get(), from.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            isLink = !sourceFd.valid() && errno == ELOOP; // became a link just now
            if (!sourceFd.valid() && !isLink) {
                failSource(result, source, lastError("open folder"));
                return result;
            }
        }
    }
    if (!isLink && ::fstat(sourceFd.get(), &sourceInfo) != 0) {
        failSource(result, source, lastError("open folder"));
        return result;
    }

    Place to;
    if (const Error error = shared != nullptr ? openPlaceInRun(*shared, target, to)
                                              : openPlace(params.targetRoot, target, to)) {
        failDestination(result, target, error);
        return result;
    }
    // Directly in a run's backup folder: the run knows that folder's names.
    const bool inBackupFolder
        = shared != nullptr && !to.name.empty() && normalized(parentOf(target)) == shared->backupPath();
    if (isLink) {
        if (to.name.empty()) {
            failSource(result, source, {EEXIST, "copy"});
            return result;
        }
        struct stat parentInfo {};
        (void)::fstat(from.parent.get(), &parentInfo);
        run.granularityNs = std::max(timeGranularityNs(from.parent.get()), timeGranularityNs(to.parent.get()));
        {
            // Only the link is copied: the folders that hold it are not completed.
            Folder folder(run, std::move(from.parent), std::move(to.parent),
                          std::make_shared<FolderPath>(parentOf(source), parentOf(target)), parentInfo, false);
            copyItemAs(run, folder, from.name, to.name, DT_UNKNOWN, result);
        }
        run.collect(result);
        return result;
    }

    // A folder at a drive's root on which another filesystem is mounted
    // (/proc, /sys, /dev, /media ... when the drive is /) belongs to that
    // other filesystem: the backup keeps the folder, empty, as it does for
    // mount points further down.
    struct stat parentInfo {};
    const bool mountPoint = params.atDriveRoot && from.parent.valid() && ::fstat(from.parent.get(), &parentInfo) == 0
                            && parentInfo.st_dev != sourceInfo.st_dev;

    bool fresh = false;
    UniqueFd targetFd;
    std::string hiddenName;
    if (to.name.empty()) {
        targetFd = std::move(to.self);
    } else {
        if (keptInPlace(run, to.parent.get(), to.name)) {
            result.kept.push_back(target);
            return result;
        }
        if (inBackupFolder && !mountPoint) {
            shared->sweepLeftovers(from.parent.get());
            hiddenName = makeHiddenFolder(*shared, run.asRoot, to.parent.get(), to.name, targetFd);
        }
        if (!hiddenName.empty()) {
            fresh = true;
            run.hiddenFor = target;
            run.hiddenAs = target.substr(0, target.size() - to.name.size()) + hiddenName;
        } else {
            Opened opened = openTargetFolder(to.parent.get(), to.name.c_str(), fresh);
            if (opened.failed()) {
                failDestination(result, target, opened.error);
                return result;
            }
            targetFd = std::move(opened.value);
        }
    }
    if (mountPoint) {
        if (::fchmod(targetFd.get(), sourceInfo.st_mode & 07777) != 0)
            run.fail(result, target, lastError("set permissions"), true);
        ++result.folders;
        result.skipped.push_back({source, SkipReason::OtherDrive});
        return result;
    }
    struct stat targetInfo {};
    if (::fstat(targetFd.get(), &targetInfo) != 0) {
        failDestination(result, target, lastError("open folder"));
        return result;
    }
    if (!fresh) {
        removeLeftovers(targetFd.get(), sourceFd.get());
        if (const Error error = makeWritable(targetFd.get()))
            run.fail(result, target, error, true);
    }
    run.granularityNs = std::max(timeGranularityNs(sourceFd.get()), timeGranularityNs(targetFd.get()));
    if (shared != nullptr) {
        run.destination = shared->destination(run.asRoot);
        run.destination.inheritsAcls = ::fgetxattr(targetFd.get(), "system.posix_acl_default", nullptr, 0) > 0;
    } else {
        run.destination = probeDestination(targetFd.get(), run.asRoot);
    }
    if (inBackupFolder) {
        if (run.destination.foldsCase && shared->clashesInBackupFolder(to.name)) {
            run.failWithReason(result, target, {EEXIST, "copy"}, caseClashReason);
            return result;
        }
    } else if (!to.name.empty() && clashesIn(run, to.parent.get(), to.name, target, result)) {
        return result;
    }
    auto root = std::make_shared<Folder>(run, std::move(sourceFd), std::move(targetFd),
                                         std::make_shared<FolderPath>(source, target), sourceInfo, fresh);
    root->setPrevious(shared != nullptr ? openPreviousInRun(*shared, target) : openPrevious(params));
    CopyWalkSystem system(run, targetInfo, root->sourceFd());
    copyTreeOf(run, system, std::move(root), result);
    if (!hiddenName.empty())
        nameHiddenFolder(run, to.parent.get(), hiddenName, to.name, result);
    return result;
}

Result copyFile(const Params &params, ProgressSink &progress, const std::atomic<bool> &stop, RunShared *shared)
{
    Result result;
    const std::string source = normalized(params.source);
    const std::string target = normalized(params.target);
    const std::string name = baseName(source);
    if (endsBeforeStart(params, source, name, stop, result) || !runUsable(shared, result))
        return result;
    HardLinks ownLinks;
    RunContext run = contextFor(params, progress, stop, shared, ownLinks);

    Place from;
    if (const Error error = openPlace(params.sourceRoot, source, from, sourceRootIn(shared, params))) {
        failSource(result, source, error);
        return result;
    }
    if (from.name.empty()) {
        failSource(result, source, {EISDIR, "copy"});
        return result;
    }
    struct stat info {};
    if (::fstatat(from.parent.get(), from.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        failSource(result, source, lastError("read information"));
        return result;
    }
    if (S_ISDIR(info.st_mode)) {
        failSource(result, source, {EISDIR, "copy"});
        return result;
    }
    // The target is the backup folder itself: made when missing, never
    // replaced, never followed.
    Place to;
    if (const Error error = shared != nullptr ? openPlaceInRun(*shared, target, to)
                                              : openPlace(params.targetRoot, target, to)) {
        failDestination(result, target, error);
        return result;
    }
    const bool inBackupFolder = shared != nullptr && to.name.empty();
    bool fresh = false;
    UniqueFd targetFd = std::move(to.self);
    if (!to.name.empty()) {
        constexpr int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
        UniqueFd fd(::openat(to.parent.get(), to.name.c_str(), flags));
        Error error = fd.valid() ? Error{} : lastError("open folder");
        if (error.code == ENOENT) {
            fresh = ::mkdirat(to.parent.get(), to.name.c_str(), 0777) == 0;
            if (fresh || errno == EEXIST) {
                fd = UniqueFd(::openat(to.parent.get(), to.name.c_str(), flags));
                error = fd.valid() ? Error{} : lastError("open folder");
            } else {
                error = lastError("create folder");
            }
        }
        if (error) {
            failDestination(result, target, error);
            return result;
        }
        targetFd = std::move(fd);
    }
    // A run's backup folder is swept once, not once per file in it.
    if (!fresh && inBackupFolder)
        shared->sweepLeftovers(from.parent.get());
    else if (!fresh)
        removeLeftovers(targetFd.get(), from.parent.get());
    run.granularityNs = std::max(timeGranularityNs(from.parent.get()), timeGranularityNs(targetFd.get()));
    if (inBackupFolder) {
        run.destination = shared->destination(run.asRoot);
        if (run.destination.foldsCase && shared->clashesInBackupFolder(name)) {
            run.failWithReason(result, joinPath(target, name), {EEXIST, "copy"}, caseClashReason);
            return result;
        }
    } else {
        if (shared != nullptr) {
            run.destination = shared->destination(run.asRoot);
            run.destination.inheritsAcls = ::fgetxattr(targetFd.get(), "system.posix_acl_default", nullptr, 0) > 0;
        } else {
            run.destination = probeDestination(targetFd.get(), run.asRoot);
        }
        if (clashesIn(run, targetFd.get(), name, joinPath(target, name), result))
            return result;
    }
    {
        struct stat parentInfo {};
        (void)::fstat(from.parent.get(), &parentInfo);
        // One item is copied: the folders that hold it are not completed.
        Folder folder(run, std::move(from.parent), std::move(targetFd),
                      std::make_shared<FolderPath>(parentOf(source), target), parentInfo, fresh);
        folder.setPrevious(shared != nullptr ? openPreviousInRun(*shared, target) : openPrevious(params));
        copyItem(run, folder, name, DT_UNKNOWN, result);
    }
    run.collect(result);
    return result;
}

} // namespace drovanta::engine::posix
