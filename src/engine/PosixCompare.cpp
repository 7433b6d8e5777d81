// How a backup differs from its source (CompareWalk.h), judged by what a
// POSIX copy keeps: kind, size, modification time, mode, owner, extended
// attributes and ACLs, link targets and device numbers.
#include "engine/CompareWalk.h"
#include "engine/CopyEngine.h"
#include "engine/PosixCheckWalk.h"
#include "engine/PosixDestination.h"
#include "engine/PosixMetadata.h"
#include "engine/SystemItems.h"

#include "platform/linux/FileKind.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace drovanta::engine {
namespace {

using namespace posix;

std::string octal(mode_t mode)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

class CompareRules final {
public:
    CompareRules(const CompareParams &params, const UniqueFd &source, const UniqueFd &backup)
        : m_atDriveRoot(params.atDriveRoot), m_asRoot(::geteuid() == 0),
          m_granularityNs(std::max(timeGranularityNs(source.get()), timeGranularityNs(backup.get()))),
          m_destination(destinationByType(backup.get()))
    {
        struct stat backupInfo {};
        (void)::fstat(backup.get(), &backupInfo);
        m_backupDevice = backupInfo.st_dev;
        m_backupInode = backupInfo.st_ino;
    }

    // What a backup leaves out of the source by design.
    bool leftOut(const ListedEntry &entry, bool top) const
    {
        if (top && m_atDriveRoot && isDriveBookkeepingName(entry.name))
            return true;
        if (S_ISSOCK(entry.info.st_mode))
            return true;
        if ((S_ISCHR(entry.info.st_mode) || S_ISBLK(entry.info.st_mode)) && !m_asRoot)
            return true;
        return S_ISDIR(entry.info.st_mode) && entry.info.st_dev == m_backupDevice
            && entry.info.st_ino == m_backupInode;
    }

    CompareNext judge(const UniqueFd &sourceFolder, const UniqueFd &backupFolder, const ListedEntry &source,
                      const ListedEntry &backup, std::vector<Found> &found) const
    {
        const struct stat &s = source.info;
        const struct stat &b = backup.info;
        if ((s.st_mode & S_IFMT) != (b.st_mode & S_IFMT)) {
            found.push_back({Difference::SourceChanged,
                             platform::kindOf(s.st_mode) + " in the source, " + platform::kindOf(b.st_mode) + " in the backup"});
            return CompareNext::Nothing;
        }
        if (S_ISREG(s.st_mode)) {
            if (s.st_size != b.st_size) {
                found.push_back({Difference::SourceChanged,
                                 "size " + std::to_string(s.st_size) + ", backup " + std::to_string(b.st_size)});
                return CompareNext::Nothing;
            }
            if (!sameModificationTime(s.st_mtim, b.st_mtim, m_granularityNs)) {
                found.push_back({Difference::SourceChanged, "modification time differs"});
                return CompareNext::Nothing;
            }
            compareMetadata(sourceFolder, backupFolder, source, backup, false, found);
            return CompareNext::Content;
        }
        if (S_ISLNK(s.st_mode)) {
            if (linkText(sourceFolder.get(), source.name) != linkText(backupFolder.get(), source.name))
                found.push_back({Difference::Metadata, "link target"});
            return CompareNext::Nothing;
        }
        if ((S_ISCHR(s.st_mode) || S_ISBLK(s.st_mode)) && s.st_rdev != b.st_rdev) {
            found.push_back({Difference::SourceChanged, "device number"});
            return CompareNext::Nothing;
        }
        compareMetadata(sourceFolder, backupFolder, source, backup, true, found);
        // Another filesystem mounted here: the backup holds the folder only.
        struct stat folderInfo {};
        if (S_ISDIR(s.st_mode) && ::fstat(sourceFolder.get(), &folderInfo) == 0 && s.st_dev == folderInfo.st_dev)
            return CompareNext::Descend;
        return CompareNext::Nothing;
    }

private:
    void compareMetadata(const UniqueFd &sourceFolder, const UniqueFd &backupFolder, const ListedEntry &source,
                         const ListedEntry &backup, bool withTime, std::vector<Found> &found) const
    {
        const struct stat &s = source.info;
        const struct stat &b = backup.info;
        std::string differs;
        const auto note = [&differs](const std::string &what) {
            differs += differs.empty() ? what : ", " + what;
        };
        const mode_t bits = m_asRoot ? 07777 : 0777;
        if (m_destination.keepsModes && (s.st_mode & bits) != (b.st_mode & bits))
            note("mode " + octal(s.st_mode) + ", backup " + octal(b.st_mode));
        if (m_asRoot && m_destination.keepsOwners && (s.st_uid != b.st_uid || s.st_gid != b.st_gid))
            note("owner " + std::to_string(s.st_uid) + ":" + std::to_string(s.st_gid) + ", backup " +
                 std::to_string(b.st_uid) + ":" + std::to_string(b.st_gid));
        if (withTime && !sameModificationTime(s.st_mtim, b.st_mtim, m_granularityNs))
            note("modification time");
        if (m_destination.holdsAttributes
            && !sameAttributes(sourceFolder.get(), source.name, backupFolder.get(), backup.name))
            note("extended attributes or ACLs");
        if (!differs.empty())
            found.push_back({Difference::Metadata, differs});
    }

    bool m_atDriveRoot;
    bool m_asRoot;
    std::int64_t m_granularityNs;
    Destination m_destination;
    dev_t m_backupDevice = 0;
    ino_t m_backupInode = 0;
};

} // namespace

Comparison NativeCopyEngine::compare(const CompareParams &params, const std::atomic<bool> &stop)
{
    Comparison comparison;
    Opened source = openFolderPath(params.source);
    if (source.failed()) {
        comparison.failure = "cannot open '" + params.source + "': " + errorText(source.error.code);
        return comparison;
    }
    Opened backup = openFolderPath(params.backup);
    if (backup.failed()) {
        comparison.failure = "cannot open '" + params.backup + "': " + errorText(backup.error.code);
        return comparison;
    }
    raiseDescriptorLimit();
    CompareRules rules(params, source.value, backup.value);
    CompareWalk<CheckSystem, CompareRules>(std::move(rules), params, stop, comparison)
        .run(std::move(source.value), std::move(backup.value));
    return comparison;
}

} // namespace drovanta::engine
