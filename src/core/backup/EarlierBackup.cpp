#include "core/backup/EarlierBackup.h"

#include "core/backup/Copier.h"

#include "platform/FileOperations.h"
#include "platform/Services.h"

#include <filesystem>
#include <optional>
#include <regex>

namespace drovanta::backup {
namespace {

// "Backup mm-dd-yyyy" as yyyymmdd, so that later dates are larger numbers.
std::optional<int> dateOf(const std::string &name)
{
    static const std::regex form("Backup (\\d\\d)-(\\d\\d)-(\\d\\d\\d\\d)");
    std::smatch parts;
    if (!std::regex_match(name, parts, form))
        return std::nullopt;
    const int month = std::stoi(parts[1]);
    const int day = std::stoi(parts[2]);
    const int year = std::stoi(parts[3]);
    if (month < 1 || month > 12 || day < 1 || day > 31)
        return std::nullopt;
    return year * 10000 + month * 100 + day;
}

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
    const std::optional<int> today = dateOf(folder.filename().string());
    if (!today)
        return {};
    const std::string root = folder.parent_path().string();
    std::string latest;
    int latestDate = 0;
    try {
        for (const auto &item : platform::services().files->getFolder(root)->subFolders()) {
            const std::optional<int> date = dateOf(item.name);
            if (date && *date < *today && *date > latestDate) {
                latestDate = *date;
                latest = item.name;
            }
        }
    } catch (...) {
        return {}; // nothing to share with: every file is copied
    }
    return latest.empty() ? std::string() : childPath(root, latest);
}

} // namespace drovanta::backup
