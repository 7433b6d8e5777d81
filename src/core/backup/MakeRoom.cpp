#include "core/backup/MakeRoom.h"

#include "core/backup/Copier.h"
#include "core/backup/FingerprintRecord.h"
#include "core/backup/RunProgress.h"

#include "engine/BackupRemoval.h"

#include "platform/BookkeepingFile.h"
#include "platform/FileOperations.h"
#include "platform/Services.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <regex>
#include <set>

namespace drovanta::backup {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;

// The name a backup folder has while it is being removed: no backup has it.
std::string removingName(const std::string &name)
{
    return "." + name + ".removing";
}

} // namespace

std::optional<year_month_day> backupDate(const std::string &name)
{
    static const std::regex form("Backup (\\d\\d)-(\\d\\d)-(\\d\\d\\d\\d)");
    std::smatch parts;
    if (!std::regex_match(name, parts, form))
        return std::nullopt;
    const year_month_day date{year{std::stoi(parts[3])}, month{static_cast<unsigned>(std::stoi(parts[1]))},
                              day{static_cast<unsigned>(std::stoi(parts[2]))}};
    if (!date.ok())
        return std::nullopt;
    return date;
}

year_month_day calendarDate(const platform::LocalDate &date)
{
    return year_month_day{year{date.year}, month{static_cast<unsigned>(date.month)},
                          day{static_cast<unsigned>(date.day)}};
}

std::vector<DatedBackup> datedBackups(const std::string &destinationRoot)
{
    std::vector<DatedBackup> backups;
    std::error_code ec;
    for (fs::directory_iterator it(destinationRoot, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code kind;
        if (!it->is_directory(kind) || it->is_symlink(kind))
            continue;
        const std::string name = it->path().filename().string();
        if (const auto date = backupDate(name))
            backups.push_back({name, *date});
    }
    std::sort(backups.begin(), backups.end(), [](const auto &a, const auto &b) { return a.date < b.date; });
    return backups;
}

namespace {

// `names`, in the order they would be removed, each with what its removal
// frees after those before it; empty when that cannot be measured.
std::vector<RemovedBackup> withFreedBytes(const std::string &destinationRoot, const std::vector<std::string> &names)
{
    const std::vector<std::uint64_t> freed = engine::bytesFreedByRemoving(destinationRoot, names);
    std::vector<RemovedBackup> backups;
    for (std::size_t i = 0; i < freed.size() && i < names.size(); ++i)
        backups.push_back({names[i], freed[i] - (i == 0 ? 0 : freed[i - 1])});
    return backups;
}

} // namespace

RoomPlan planRoom(const std::string &destinationRoot, year_month_day today, std::uint64_t needed,
                  std::uint64_t available)
{
    RoomPlan plan;
    std::vector<std::string> names;
    for (const auto &backup : datedBackups(destinationRoot)) {
        if (backup.date < today)
            names.push_back(backup.name);
    }
    plan.candidates = names.size();
    if (names.empty() || available >= needed)
        return plan;
    const std::vector<RemovedBackup> oldestFirst = withFreedBytes(destinationRoot, names);
    if (oldestFirst.size() != names.size())
        return plan;
    for (const auto &backup : oldestFirst) {
        plan.freedByAll += backup.freed;
        if (!plan.enough) {
            plan.removed.push_back(backup);
            plan.freed += backup.freed;
            plan.enough = available + plan.freed >= needed;
        }
    }
    if (!plan.enough) {
        plan.removed.clear();
        plan.freed = 0;
    }
    return plan;
}

std::vector<RemovedBackup> thinning(const std::string &destinationRoot, year_month_day today, int daily, int weekly,
                                    int monthly)
{
    std::vector<DatedBackup> backups = datedBackups(destinationRoot);
    if (std::none_of(backups.begin(), backups.end(), [&](const auto &backup) { return backup.date == today; }))
        backups.push_back({"", today}); // a dry run: as if today's backup had been made
    std::vector<std::string> names;
    for (const auto &backup : thinnedOut(backups, today, daily, weekly, monthly))
        names.push_back(backup.name);
    return withFreedBytes(destinationRoot, names);
}

Removals removeBackups(const std::string &destinationRoot, const std::vector<RemovedBackup> &backups)
{
    Removals done;
    std::vector<std::string> &problems = done.problems;
    const platform::FileOperations &files = *platform::services().files;
    for (const auto &backup : backups) {
        const std::string path = childPath(destinationRoot, backup.name);
        // The lock stays with the folder through its rename, until it is gone.
        std::unique_ptr<platform::FolderLock> lock;
        try {
            lock = files.lockFolder(path);
        } catch (const std::exception &failure) {
            problems.push_back(backup.name + " was not removed: " + failure.what());
            continue;
        }
        if (!lock) {
            problems.push_back(backup.name + " was not removed: another backup is writing to it.");
            continue;
        }
        const engine::FolderRemoval removal =
            engine::removeFolder(destinationRoot, backup.name, removingName(backup.name));
        for (const auto &mounted : removal.leftMounted)
            problems.push_back(backup.name + " was not removed whole: another drive is mounted at " + mounted +
                               "; it was left alone.");
        for (const auto &failure : removal.failures)
            problems.push_back(failure.path + ": " + failure.operation + ": " + failure.reason);
        if (removal.removed) {
            done.removed.push_back(backup);
            // Its fingerprint record goes with it (never through a link).
            platform::removeBookkeepingFile(recordPath(destinationRoot, backup.name));
        }
    }
    return done;
}

void finishInterruptedRemovals(const std::string &destinationRoot)
{
    static const std::regex form("\\.(Backup \\d\\d-\\d\\d-\\d\\d\\d\\d)\\.removing");
    std::vector<std::string> leftovers;
    std::error_code ec;
    for (fs::directory_iterator it(destinationRoot, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code kind;
        const std::string name = it->path().filename().string();
        if (it->is_directory(kind) && !it->is_symlink(kind) && std::regex_match(name, form))
            leftovers.push_back(name);
    }
    for (const auto &name : leftovers)
        (void)engine::removeFolder(destinationRoot, {}, name);
}

std::vector<DatedBackup> thinnedOut(const std::vector<DatedBackup> &backups, year_month_day today, int daily,
                                    int weekly, int monthly)
{
    std::set<std::string> kept;
    // The last backup of each period, newest period first, for `count` periods.
    const auto keepLastOf = [&](int count, auto periodOf) {
        std::set<int> periods;
        for (auto it = backups.rbegin(); it != backups.rend() && static_cast<int>(periods.size()) < count; ++it) {
            if (periods.insert(periodOf(it->date)).second)
                kept.insert(it->name);
        }
    };
    keepLastOf(daily, [](year_month_day date) { return sys_days(date).time_since_epoch().count(); });
    keepLastOf(weekly, [](year_month_day date) {
        const sys_days days(date);
        // Weeks start on Monday: the Monday on or before the date.
        return (days - (weekday(days) - Monday)).time_since_epoch().count();
    });
    keepLastOf(monthly, [](year_month_day date) {
        return static_cast<int>(date.year()) * 12 + static_cast<int>(static_cast<unsigned>(date.month()));
    });
    const DatedBackup *latestEarlier = nullptr;
    for (const auto &backup : backups) {
        if (backup.date < today)
            latestEarlier = &backup;
    }
    std::vector<DatedBackup> removed;
    for (const auto &backup : backups) {
        if (backup.date >= today || &backup == latestEarlier || kept.count(backup.name) > 0)
            continue;
        removed.push_back(backup);
    }
    return removed;
}

std::string removalText(const RoomPlan &plan)
{
    std::string names;
    for (const auto &backup : plan.removed)
        names += (names.empty() ? "" : ", ") + backup.name;
    const std::string which = plan.removed.size() == 1
        ? "the oldest backup"
        : "the " + std::to_string(plan.removed.size()) + " oldest backups";
    return "Removing " + which + " (" + names + ") frees " + byteSizeText(plan.freed) + ".";
}

} // namespace drovanta::backup
