// What a restore would do (RestorePlanWalk.h), with the POSIX copy's own
// decisions and without writing anything.
#include "engine/CopyEngine.h"
#include "engine/PosixCheckWalk.h"
#include "engine/PosixItemCopy.h"
#include "engine/PosixRunContext.h"
#include "engine/RestorePlanWalk.h"

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

// The copy's own decisions about an item already in the target.
class PlanRules final {
public:
    explicit PlanRules(RunContext &run) : m_run(run) {}

    bool keepExisting() const { return m_run.params.keepExisting; }

    // The copy's own test of an item already restored: left alone.
    bool same(const UniqueFd &sourceFolder, const UniqueFd &targetFolder, const ListedEntry &source,
              const ListedEntry &target) const
    {
        const struct stat &s = source.info;
        const struct stat &t = target.info;
        if (S_ISREG(s.st_mode))
            return isUpToDate(m_run, s, t);
        if (S_ISLNK(s.st_mode))
            return S_ISLNK(t.st_mode) && s.st_size == t.st_size
                && sameModificationTime(s.st_mtim, t.st_mtim, m_run.granularityNs)
                && linkText(sourceFolder.get(), source.name) == linkText(targetFolder.get(), source.name);
        return (s.st_mode & (S_IFMT | 07777)) == (t.st_mode & (S_IFMT | 07777)) && s.st_rdev == t.st_rdev;
    }

private:
    RunContext &m_run;
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
    const PlanRules rules(run);
    RestorePlanWalk<CheckSystem, PlanRules> walk(rules, stop, plan);
    if (!from.name.empty() && !S_ISDIR(sourceInfo.st_mode)) { // one item: `target` is the folder that receives it
        Opened receiving = to.name.empty() ? Opened(std::move(to.self)) : CheckSystem::openFolder(to.parent, to.name);
        walk.item(from.parent, receiving.failed() ? nullptr : &receiving.value, ListedEntry{from.name, sourceInfo},
                  target + "/" + from.name);
        return plan;
    }
    // A folder: `target` is its copy, made when missing.
    Opened folder = from.name.empty() ? Opened(std::move(from.self)) : CheckSystem::openFolder(from.parent, from.name);
    if (folder.failed()) {
        plan.failure = "cannot open '" + source + "': " + errorText(folder.error.code);
        return plan;
    }
    if (!to.name.empty()) {
        struct stat info {};
        if (::fstatat(to.parent.get(), to.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            plan.items.push_back({RestoreAction::Add, target});
            return plan;
        }
        Opened opened = CheckSystem::openFolder(to.parent, to.name);
        if (opened.failed()) { // a file or link where the folder goes
            plan.items.push_back({params.keepExisting ? RestoreAction::Keep : RestoreAction::Replace, target});
            return plan;
        }
        to.self = std::move(opened.value);
    }
    walk.folder(folder.value, to.self, target);
    return plan;
}

} // namespace drovanta::engine
