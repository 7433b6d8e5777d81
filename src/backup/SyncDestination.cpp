#include "backup/SyncDestination.h"

#include "backup/CopyDisplay.h"

#include <filesystem>
#include <system_error>

namespace drovanta::backup {

void syncDestination(const std::string &backupFolder, RunReport &report)
{
    std::filesystem::path folder(backupFolder);
    std::error_code ec;
    while (!folder.empty() && !std::filesystem::is_directory(folder, ec) && folder.has_parent_path() &&
           folder.parent_path() != folder)
        folder = folder.parent_path();
    if (folder.empty() || !std::filesystem::is_directory(folder, ec))
        return;
    const engine::Result result = copyDisplay().wait([&] {
        engine::Result synced;
        std::string reason;
        if (!engine::syncFilesystem(folder.string(), reason)) {
            synced.destinationFailed = true;
            synced.destinationFailure = {folder.string(), "write to the device", reason, 0};
        }
        return synced;
    });
    report.add(result);
}

} // namespace drovanta::backup
