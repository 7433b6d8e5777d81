#pragma once

#include "platform/Clock.h"

#include <cstdint>
#include <string>
#include <vector>

namespace drovanta::drives {

// How drive roots are written: a letter and ":\" on Windows, a mount point on
// the others.
enum class PathStyle { Windows, Posix };

#ifdef _WIN32
inline constexpr PathStyle nativePathStyle = PathStyle::Windows;
#else
inline constexpr PathStyle nativePathStyle = PathStyle::Posix;
#endif

// The separator between the fields of a drive record.
inline constexpr const char *recordSeparator = "|MySep!!|";

// The display name of an unlabelled fixed or removable drive.
inline constexpr const char *localDiskName = "Local Disk";

// A drive record: letter (or mount point), display name and available bytes.
std::string makeRecord(const std::string &letter, const std::string &name, std::uint64_t availableBytes);
// Every field of a record, split at each separator.
std::vector<std::string> splitRecord(const std::string &record);
// Field `index` of a split record; throws Failure("Subscript out of range")
// when the record has fewer fields.
const std::string &recordField(const std::vector<std::string> &fields, int index);

// The list entry of a drive: "Archive (D:)", or "Archive (/media/alex/Archive)".
std::string entryText(const std::string &name, const std::string &letter, PathStyle style = nativePathStyle);

// The root folder of a drive as the copier takes it: "C:\", "/", "/media/alex/Archive/".
std::string rootPath(const std::string &letter, PathStyle style = nativePathStyle);

// The dated backup folder on a drive: "E:\Backup 08-31-2021", "/media/b/Backup 08-31-2021".
std::string backupFolderPath(const std::string &letter, const platform::LocalDate &date,
                             PathStyle style = nativePathStyle);

// A date written month first, whatever the regional settings: "08-31-2021".
std::string dateText(const platform::LocalDate &date);

} // namespace drovanta::drives
