#pragma once

// What a restore would do, over a system's primitives (see CheckWalk.h),
// told with the copy's own decisions and without writing anything. Besides
// the primitives the system gives
//
//   static std::optional<Entry> find(const Folder &, const std::string &name)
//       the item of that name in the folder, as a listing tells it
//   static constexpr char separator
//       between the parts of a target path
//
// and a class `Rules` with
//
//   bool keepExisting() const
//       a restore without leave to overwrite (Params::keepExisting)
//   bool same(const Folder &sourceFolder, const Folder &targetFolder,
//             const Entry &source, const Entry &target) const
//       the copy's own test of an item already restored: left alone
#include "engine/CheckWalk.h"
#include "engine/Checking.h"
#include "engine/SystemItems.h"

#include <atomic>
#include <optional>
#include <string>
#include <vector>

namespace drovanta::engine {

template<typename System, typename Rules>
class RestorePlanWalk final {
    using Folder = typename System::Folder;
    using Entry = typename System::Entry;

public:
    RestorePlanWalk(const Rules &rules, const std::atomic<bool> &stop, RestorePlan &out)
        : m_rules(rules), m_stop(stop), m_out(out)
    {
    }

    // Item `source` of `sourceFolder` against the item of the same name in
    // `targetFolder` (null: in a folder the restore would make).
    void item(const Folder &sourceFolder, const Folder *targetFolder, const Entry &source,
              const std::string &targetPath)
    {
        const std::optional<Entry> target =
            targetFolder != nullptr ? System::find(*targetFolder, source.name) : std::nullopt;
        if (!target) {
            // Everything inside a folder that is added is added with it.
            m_out.items.push_back({RestoreAction::Add, targetPath});
            return;
        }
        if (System::kindOf(source) == EntryKind::Folder && System::kindOf(*target) == EntryKind::Folder) {
            Outcome<Folder> from = System::openFolder(sourceFolder, source.name);
            Outcome<Folder> to = System::openFolder(*targetFolder, source.name);
            if (!from.failed() && !to.failed())
                folder(from.value, to.value, targetPath);
            return;
        }
        if (m_rules.same(sourceFolder, *targetFolder, source, *target))
            return;
        m_out.items.push_back({m_rules.keepExisting() ? RestoreAction::Keep : RestoreAction::Replace, targetPath});
    }

    void folder(const Folder &source, const Folder &target, const std::string &targetPath)
    {
        if (m_stop.load())
            return;
        std::vector<Entry> entries;
        if (System::list(source, entries))
            return; // the restore reports it
        for (const Entry &entry : entries) {
            if (!isTemporaryName(entry.name)) // an interrupted run's leftover, as the restore leaves it out
                item(source, &target, entry, targetPath + System::separator + entry.name);
        }
    }

private:
    const Rules &m_rules;
    const std::atomic<bool> &m_stop;
    RestorePlan &m_out;
};

} // namespace drovanta::engine
