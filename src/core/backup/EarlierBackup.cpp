#include "core/backup/EarlierBackup.h"

#include "core/backup/Copier.h"
#include "core/backup/MakeRoom.h"

#include <filesystem>

namespace drovanta::backup {
namespace {

std::filesystem::path withoutTrailingSeparator(const std::string &path)
{
    std::filesystem::path folder(path);
    if (!folder.has_filename())
        folder = folder.parent_path();
    return folder;
}

} // namespace

std::string backupFolderName(const std::string &backupFolderPath)
{
    return withoutTrailingSeparator(backupFolderPath).filename().string();
}

std::string earlierBackupFolder(const std::string &backupFolderPath)
{
    const std::filesystem::path folder = withoutTrailingSeparator(backupFolderPath);
    const auto today = backupDate(folder.filename().string());
    if (!today)
        return {};
    const std::string root = folder.parent_path().string();
    std::string latest;
    for (const auto &backup : datedBackups(root)) { // oldest first
        if (backup.date < *today)
            latest = backup.name;
    }
    return latest.empty() ? std::string() : childPath(root, latest);
}

} // namespace drovanta::backup
