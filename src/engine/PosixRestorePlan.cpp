// What a restore would do, told with the copy's own decisions and without
// writing anything.
#include "engine/CopyEngine.h"
#include "engine/PosixCheckWalk.h"
#include "engine/PosixItemCopy.h"
#include "engine/PosixRunContext.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <span>
#include <vector>

namespace drovanta::engine {
namespace {

using namespace posix;

// An item's place: the folder that holds it and its name, or the folder
// itself (`name` empty) when the path is the root.
struct Spot {
    UniqueFd parent;
    std::string name;
    UniqueFd self;
};

Error locate(const std::string &root, const std::string &path, Spot &spot)
{
    BeneathRoot split;
    if (const Error error = splitAtRoot(root, path, split))
        return error;
    Opened opened = openFolderPath(split.root);
    if (opened.failed())
        return opened.error;
    if (split.below.empty()) {
        spot.self = std::move(opened.value);
        return {};
    }
    spot.name = split.below.back();
    if (split.below.size() == 1) {
        spot.parent = std::move(opened.value);
        return {};
    }
    Opened parent = openBeneath(opened.value.get(), std::span(split.below).first(split.below.size() - 1));
    if (parent.failed())
        return parent.error;
    spot.parent = std::move(parent.value);
    return {};
}

class Plan final {
public:
    Plan(RunContext &run, const std::atomic<bool> &stop, RestorePlan &out) : m_run(run), m_stop(stop), m_out(out) {}

    // Item `name` of source folder `sourceFd` against the same name in
    // target folder `targetFd` (-1: a folder the restore would make).
    void item(int sourceFd, int targetFd, const std::string &name, const struct stat &source,
              const std::string &targetPath)
    {
        struct stat target {};
        if (targetFd < 0 || ::fstatat(targetFd, name.c_str(), &target, AT_SYMLINK_NOFOLLOW) != 0) {
            // Everything inside a folder that is added is added with it.
            m_out.items.push_back({RestoreAction::Add, targetPath});
            return;
        }
        if (S_ISDIR(source.st_mode) && S_ISDIR(target.st_mode)) {
            UniqueFd from = openSubFolder(sourceFd, name);
            UniqueFd to = openSubFolder(targetFd, name);
            if (from.valid() && to.valid())
                folder(from.get(), to.get(), targetPath);
            return;
        }
        if (same(sourceFd, targetFd, name, source, target))
            return;
        m_out.items.push_back({m_run.params.keepExisting ? RestoreAction::Keep : RestoreAction::Replace, targetPath});
    }

    void folder(int sourceFd, int targetFd, const std::string &targetPath)
    {
        if (m_stop.load())
            return;
        std::vector<ListedEntry> entries;
        if (listEntries(sourceFd, entries))
            return; // the restore reports it
        for (const ListedEntry &entry : entries)
            item(sourceFd, targetFd, entry.name, entry.info, targetPath + "/" + entry.name);
    }

private:
    // The copy's own test of an item already restored: left alone.
    bool same(int sourceFd, int targetFd, const std::string &name, const struct stat &source,
              const struct stat &target) const
    {
        if (S_ISREG(source.st_mode))
            return isUpToDate(m_run, source, target);
        if (S_ISLNK(source.st_mode))
            return S_ISLNK(target.st_mode) && source.st_size == target.st_size
                && sameModificationTime(source.st_mtim, target.st_mtim, m_run.granularityNs)
                && linkText(sourceFd, name) == linkText(targetFd, name);
        return (source.st_mode & (S_IFMT | 07777)) == (target.st_mode & (S_IFMT | 07777))
            && source.st_rdev == target.st_rdev;
    }

    RunContext &m_run;
    const std::atomic<bool> &m_stop;
    RestorePlan &m_out;
};

} // namespace

RestorePlan NativeCopyEngine::planRestore(const Params &params, const std::atomic<bool> &stop)
{
    RestorePlan plan;
    const std::string source = normalized(params.source);
    const std::string target = normalized(params.target);
    Spot from;
    if (const Error error = locate(params.sourceRoot, source, from)) {
        plan.failure = "cannot open '" + source + "': " + errorText(error.code);
        return plan;
    }
    Spot to;
    if (const Error error = locate(params.targetRoot, target, to)) {
        plan.failure = "cannot open '" + target + "': " + errorText(error.code);
        return plan;
    }
    struct stat sourceInfo {};
    const int sourceHolder = from.name.empty() ? -1 : from.parent.get();
    if (sourceHolder >= 0 && ::fstatat(sourceHolder, from.name.c_str(), &sourceInfo, AT_SYMLINK_NOFOLLOW) != 0) {
        plan.failure = "cannot read '" + source + "': " + errorText(errno);
        return plan;
    }
    const int targetAnchor = to.name.empty() ? to.self.get() : to.parent.get();

    NoProgress quiet;
    HardLinks unused;
    RunContext run(params, quiet, stop, unused);
    run.destination = destinationByType(targetAnchor);
    run.granularityNs = std::max(timeGranularityNs(sourceHolder >= 0 ? sourceHolder : from.self.get()),
                                 timeGranularityNs(targetAnchor));
    Plan walk(run, stop, plan);
    if (!from.name.empty() && !S_ISDIR(sourceInfo.st_mode)) { // one item: `target` is the folder that receives it
        UniqueFd receiving = to.name.empty() ? std::move(to.self) : openSubFolder(to.parent.get(), to.name);
        walk.item(from.parent.get(), receiving.get(), from.name, sourceInfo, target + "/" + from.name);
        return plan;
    }
    // A folder: `target` is its copy, made when missing.
    UniqueFd folder = from.name.empty() ? std::move(from.self) : openSubFolder(from.parent.get(), from.name);
    if (!folder.valid()) {
        plan.failure = "cannot open '" + source + "': " + errorText(errno);
        return plan;
    }
    if (!to.name.empty()) {
        struct stat info {};
        if (::fstatat(to.parent.get(), to.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            plan.items.push_back({RestoreAction::Add, target});
            return plan;
        }
        to.self = openSubFolder(to.parent.get(), to.name);
        if (!to.self.valid()) { // a file or link where the folder goes
            plan.items.push_back({params.keepExisting ? RestoreAction::Keep : RestoreAction::Replace, target});
            return plan;
        }
    }
    walk.folder(folder.get(), to.self.get(), target);
    return plan;
}

} // namespace drovanta::engine
