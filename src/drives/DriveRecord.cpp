#include "drives/DriveRecord.h"

#include "platform/Failure.h"

namespace drovanta::drives {

QString makeRecord(const QString &letter, const QString &name, std::uint64_t availableBytes)
{
    return letter + recordSeparator + name + recordSeparator + QString::number(availableBytes);
}

QStringList splitRecord(const QString &record)
{
    return record.split(recordSeparator, Qt::KeepEmptyParts, Qt::CaseSensitive);
}

const QString &recordField(const QStringList &fields, int index)
{
    if (index < 0 || index >= fields.size())
        throw Failure("Subscript out of range");
    return fields.at(index);
}

QString entryText(const QString &name, const QString &letter, PathStyle style)
{
    if (style == PathStyle::Windows)
        return name + QStringLiteral(" (") + letter + QStringLiteral(":)");
    return name + QStringLiteral(" (") + letter + QStringLiteral(")");
}

QString rootPath(const QString &letter, PathStyle style)
{
    if (style == PathStyle::Windows)
        return letter + QStringLiteral(":\\");
    return letter.endsWith(QLatin1Char('/')) ? letter : letter + QLatin1Char('/');
}

QString backupFolderPath(const QString &letter, const platform::LocalDate &date, PathStyle style)
{
    return rootPath(letter, style) + QStringLiteral("Backup ") + dateText(date);
}

QString dateText(const platform::LocalDate &date)
{
    return QStringLiteral("%1-%2-%3")
        .arg(date.month, 2, 10, QLatin1Char('0'))
        .arg(date.day, 2, 10, QLatin1Char('0'))
        .arg(date.year, 4, 10, QLatin1Char('0'));
}

} // namespace drovanta::drives
