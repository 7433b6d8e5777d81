// How a backup differs from its source (CompareWalk.h), judged by what the
// Windows copy keeps: kind, size, last-write time, the kept attributes and
// the reparse data of links and junctions. Access rules and alternate data
// streams a copy does not keep, and they are not compared.
#include "engine/CompareWalk.h"
#include "engine/CopyEngine.h"
#include "engine/LongPath.h"
#include "engine/SystemItems.h"
#include "engine/WindowsCheckWalk.h"
#include "engine/WindowsMetadata.h"

namespace drovanta::engine {
namespace {

using windows::CheckSystem;
using windows::HeldFolder;
using windows::ListedEntry;

std::string kindName(const ListedEntry &entry)
{
    switch (CheckSystem::kindOf(entry)) {
    case EntryKind::Folder:
        return "a folder";
    case EntryKind::File:
        return "a file";
    case EntryKind::Other:
        break;
    }
    return "a link";
}

// The kept attributes as the system's attrib command shows them: "RHSAI",
// a dash for each one not set.
std::string attributeText(DWORD attributes)
{
    std::string text;
    for (const auto &[flag, letter] : {std::pair{FILE_ATTRIBUTE_READONLY, 'R'}, {FILE_ATTRIBUTE_HIDDEN, 'H'},
                                       {FILE_ATTRIBUTE_SYSTEM, 'S'}, {FILE_ATTRIBUTE_ARCHIVE, 'A'},
                                       {FILE_ATTRIBUTE_NOT_CONTENT_INDEXED, 'I'}})
        text += (attributes & flag) ? letter : '-';
    return text;
}

class CompareRules final {
public:
    CompareRules(const CompareParams &params, const HeldFolder &source, const HeldFolder &backup)
        : m_atDriveRoot(params.atDriveRoot),
          m_fatTimes(windows::keepsFatTimes(toExtendedPath(source.path))
                     || windows::keepsFatTimes(toExtendedPath(backup.path)))
    {
    }

    // What a backup leaves out of the source by design.
    bool leftOut(const ListedEntry &entry, bool top) const
    {
        return top && m_atDriveRoot && isDriveBookkeepingName(entry.name);
    }

    CompareNext judge(const HeldFolder &sourceFolder, const HeldFolder &backupFolder, const ListedEntry &source,
                      const ListedEntry &backup, std::vector<Found> &found) const
    {
        const EntryKind kind = CheckSystem::kindOf(source);
        if (kind != CheckSystem::kindOf(backup)) {
            found.push_back(
                {Difference::SourceChanged, kindName(source) + " in the source, " + kindName(backup) + " in the backup"});
            return CompareNext::Nothing;
        }
        if (kind == EntryKind::Other) {
            if (windows::reparseData(CheckSystem::pathOf(sourceFolder, source.name))
                != windows::reparseData(CheckSystem::pathOf(backupFolder, backup.name)))
                found.push_back({Difference::Metadata, "link target"});
            return CompareNext::Nothing;
        }
        if (kind == EntryKind::File) {
            if (source.size != backup.size) {
                found.push_back({Difference::SourceChanged,
                                 "size " + std::to_string(source.size) + ", backup " + std::to_string(backup.size)});
                return CompareNext::Nothing;
            }
            if (!windows::sameWriteTime(source.written, backup.written, m_fatTimes)) {
                found.push_back({Difference::SourceChanged, "modification time differs"});
                return CompareNext::Nothing;
            }
        }
        std::string differs;
        const auto note = [&differs](const std::string &what) { differs += differs.empty() ? what : ", " + what; };
        const DWORD s = source.attributes & windows::keptAttributes;
        const DWORD b = backup.attributes & windows::keptAttributes;
        if (s != b)
            note("attributes " + attributeText(s) + ", backup " + attributeText(b));
        if (kind == EntryKind::Folder && !windows::sameWriteTime(source.written, backup.written, m_fatTimes))
            note("modification time");
        if (!differs.empty())
            found.push_back({Difference::Metadata, differs});
        return kind == EntryKind::File ? CompareNext::Content : CompareNext::Descend;
    }

private:
    bool m_atDriveRoot;
    bool m_fatTimes;
};

} // namespace

Comparison NativeCopyEngine::compare(const CompareParams &params, const std::atomic<bool> &stop)
{
    Comparison comparison;
    Outcome<HeldFolder> source = CheckSystem::openTop(windows::normalized(params.source));
    if (source.failed()) {
        comparison.failure = "cannot open '" + params.source + "': " + windows::errorText(source.error.code);
        return comparison;
    }
    Outcome<HeldFolder> backup = CheckSystem::openTop(windows::normalized(params.backup));
    if (backup.failed()) {
        comparison.failure = "cannot open '" + params.backup + "': " + windows::errorText(backup.error.code);
        return comparison;
    }
    CompareRules rules(params, source.value, backup.value);
    CompareWalk<CheckSystem, CompareRules>(std::move(rules), params, stop, comparison)
        .run(std::move(source.value), std::move(backup.value));
    return comparison;
}

} // namespace drovanta::engine
