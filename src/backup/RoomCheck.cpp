#include "backup/RoomCheck.h"

#include "platform/DriveSource.h"
#include "platform/Failure.h"
#include "platform/Services.h"

#include <QString>

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

double freeSpaceField(const std::string &text)
{
    bool ok = false;
    const double value = QString::fromStdString(text).trimmed().toDouble(&ok);
    if (!ok)
        throw Failure("Type mismatch");
    return value;
}

std::string noRoomMessage(const std::string &destinationRoot, const std::string &sourceRoot)
{
    return "There is no enough room on " + destinationRoot + " to backup the entire " + sourceRoot +
           " drive. Please make some room on " + destinationRoot + " or select a larger 'Destination' drive.";
}

} // namespace drovanta::backup
