// What a restore would do (RestorePlanWalk.h), with the Windows copy's own
// decisions and without writing anything.
#include "engine/CopyEngine.h"
#include "engine/LongPath.h"
#include "engine/RestorePlanWalk.h"
#include "engine/WindowsCheckWalk.h"
#include "engine/WindowsItemCopy.h"
#include "platform/windows/WideText.h"

namespace drovanta::engine {
namespace {

using platform::utf8Text;
using windows::CheckSystem;
using windows::HeldFolder;
using windows::ListedEntry;

// The copy's own decisions about an item already in the target.
class PlanRules final {
public:
    PlanRules(bool keepExisting, bool fatTimes) : m_keepExisting(keepExisting), m_fatTimes(fatTimes) {}

    bool keepExisting() const { return m_keepExisting; }

    bool same(const HeldFolder &sourceFolder, const HeldFolder &targetFolder, const ListedEntry &source,
              const ListedEntry &target) const
    {
        return windows::holdsCopyOf(target, CheckSystem::pathOf(targetFolder, target.name), source,
                                    CheckSystem::pathOf(sourceFolder, source.name), m_fatTimes);
    }

private:
    bool m_keepExisting;
    bool m_fatTimes;
};

// An item's place beneath its root: the folder that holds it and its name,
// or the folder itself (`name` empty) when the path is the root. The folders
// between the root and the item stay held in `place`.
struct Spot {
    windows::Place place;
    HeldFolder parent;
    HeldFolder self;
};

Error locate(const std::string &root, const std::wstring &path, Spot &spot)
{
    constexpr DWORD access = FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES;
    if (const Error error = windows::openPlace(windows::normalized(root), path, access, spot.place))
        return error;
    Outcome<HeldFolder> opened = CheckSystem::openTop(spot.place.name.empty() ? path : spot.place.parent);
    if (opened.failed())
        return opened.error;
    (spot.place.name.empty() ? spot.self : spot.parent) = std::move(opened.value);
    return {};
}

} // namespace

RestorePlan NativeCopyEngine::planRestore(const Params &params, const std::atomic<bool> &stop)
{
    RestorePlan plan;
    const std::wstring source = windows::normalized(params.source);
    const std::wstring target = windows::normalized(params.target);
    const auto failed = [&plan](const std::string &what, const std::wstring &path, int code) {
        plan.failure = what + " '" + utf8Text(path) + "': " + windows::errorText(code);
        return std::move(plan);
    };
    Spot from;
    if (const Error error = locate(params.sourceRoot, source, from))
        return failed("cannot open", source, error.code);
    Spot to;
    if (const Error error = locate(params.targetRoot, target, to))
        return failed("cannot open", target, error.code);
    const std::string name = utf8Text(from.place.name);
    const std::string toName = utf8Text(to.place.name);
    std::optional<ListedEntry> item;
    if (!name.empty() && !(item = CheckSystem::find(from.parent, name)))
        return failed("cannot read", source, static_cast<int>(::GetLastError()));

    const PlanRules rules(params.keepExisting, windows::keepsFatTimes(toExtendedPath(source))
                                                   || windows::keepsFatTimes(toExtendedPath(target)));
    RestorePlanWalk<CheckSystem, PlanRules> walk(rules, stop, plan);
    if (item && CheckSystem::kindOf(*item) != EntryKind::Folder) { // one item: `target` is the folder that receives it
        Outcome<HeldFolder> receiving =
            toName.empty() ? Outcome<HeldFolder>(std::move(to.self)) : CheckSystem::openFolder(to.parent, toName);
        walk.item(from.parent, receiving.failed() ? nullptr : &receiving.value, *item,
                  utf8Text(windows::join(target, from.place.name)));
        return plan;
    }
    // A folder: `target` is its copy, made when missing.
    Outcome<HeldFolder> folder = name.empty() ? Outcome<HeldFolder>(std::move(from.self))
                                              : CheckSystem::openFolder(from.parent, name);
    if (folder.failed())
        return failed("cannot open", source, folder.error.code);
    if (!toName.empty()) {
        if (!CheckSystem::find(to.parent, toName)) {
            plan.items.push_back({RestoreAction::Add, utf8Text(target)});
            return plan;
        }
        Outcome<HeldFolder> opened = CheckSystem::openFolder(to.parent, toName);
        if (opened.failed()) { // a file or link where the folder goes
            plan.items.push_back(
                {params.keepExisting ? RestoreAction::Keep : RestoreAction::Replace, utf8Text(target)});
            return plan;
        }
        to.self = std::move(opened.value);
    }
    walk.folder(folder.value, to.self, utf8Text(target));
    return plan;
}

} // namespace drovanta::engine
