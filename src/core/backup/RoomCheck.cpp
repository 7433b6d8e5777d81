#include "core/backup/RoomCheck.h"

#include "core/backup/Copier.h"
#include "core/backup/EarlierBackup.h"
#include "engine/CopyEngine.h"

#include "platform/DriveSource.h"
#include "platform/Failure.h"
#include "platform/Services.h"

#include "core/shell/NumberText.h"

namespace drovanta::backup {

std::uint64_t roomNeededForDrive(const std::string &letter)
{
    for (const auto &drive : platform::services().drives->drives()) {
        if (drive->letter() != letter)
            continue;
        const std::uint64_t total = drive->totalSize();
        const std::uint64_t free = drive->freeSpace();
        return total > free ? total - free : 0;
    }
    throw Failure("Drive '" + letter + "' not found");
}

std::uint64_t freeSpaceOfDrive(const std::string &letter)
{
    for (const auto &drive : platform::services().drives->drives()) {
        if (drive->letter() == letter)
            return drive->availableSpace();
    }
    throw Failure("Drive '" + letter + "' not found");
}

std::optional<std::uint64_t> roomNeededWithEarlierBackup(const std::string &sourceRoot,
                                                         const std::string &backupFolder,
                                                         const std::atomic<bool> &stop)
{
    engine::CopyEngine *engine = platform::services().copyEngine;
    if (engine == nullptr)
        return std::nullopt;
    const std::string earlier = earlierBackupFolder(backupFolder);
    if (earlier.empty())
        return std::nullopt;
    return roomNeededToWrite(sourceRoot, backupFolder, earlier, stop);
}

std::optional<std::uint64_t> roomNeededToWrite(const std::string &source, const std::string &backupFolder,
                                               const std::string &earlier, const std::atomic<bool> &stop)
{
    engine::CopyEngine *engine = platform::services().copyEngine;
    if (engine == nullptr)
        return std::nullopt;
    engine::Params params;
    params.source = source;
    params.target = backupFolder;
    params.sourceRoot = source;
    params.targetRoot = destinationRootOf(backupFolder);
    params.previousTarget = earlier;
    params.atDriveRoot = true;
    try {
        return engine->measure(params, stop);
    } catch (...) {
        return std::nullopt; // the check against the whole drive stands
    }
}

double freeSpaceField(const std::string &text)
{
    const std::optional<double> value = shell::decimalNumber(text);
    if (!value)
        throw Failure("Type mismatch");
    return *value;
}

std::string noRoomMessage(const std::string &destinationRoot, const std::string &sourceRoot)
{
    return "There is no enough room on " + destinationRoot + " to backup the entire " + sourceRoot +
           " drive. Please make some room on " + destinationRoot + " or select a larger 'Destination' drive.";
}

} // namespace drovanta::backup
