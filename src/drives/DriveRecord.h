#pragma once

#include "platform/Clock.h"

#include <QString>
#include <QStringList>

#include <cstdint>

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
inline const QString recordSeparator = QStringLiteral("|MySep!!|");

// The display name of an unlabelled fixed or removable drive.
inline const QString localDiskName = QStringLiteral("Local Disk");

// A drive record: letter (or mount point), display name and available bytes.
QString makeRecord(const QString &letter, const QString &name, std::uint64_t availableBytes);
// Every field of a record, split at each separator.
QStringList splitRecord(const QString &record);
// Field `index` of a split record; throws Failure("Subscript out of range")
// when the record has fewer fields.
const QString &recordField(const QStringList &fields, int index);

// The list entry of a drive: "Archive (D:)", or "Archive (/media/alex/Archive)".
QString entryText(const QString &name, const QString &letter, PathStyle style = nativePathStyle);

// The root folder of a drive as the copier takes it: "C:\", "/", "/media/alex/Archive/".
QString rootPath(const QString &letter, PathStyle style = nativePathStyle);

// The dated backup folder on a drive: "E:\Backup 08-31-2021", "/media/b/Backup 08-31-2021".
QString backupFolderPath(const QString &letter, const platform::LocalDate &date, PathStyle style = nativePathStyle);

// A date written month first, whatever the regional settings: "08-31-2021".
QString dateText(const platform::LocalDate &date);

} // namespace drovanta::drives
