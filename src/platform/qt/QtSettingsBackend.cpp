#include "platform/qt/QtSettingsBackend.h"

#include "platform/Failure.h"

#include <QDir>
#include <QSettings>

#include <memory>

namespace drovanta::platform {
namespace {

std::unique_ptr<QSettings> open(const QString &folder, const std::string &application, const std::string &section)
{
    const QString org = QString::fromStdString(application);
    const QString app = QString::fromStdString(section);
    if (folder.isEmpty())
        return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope, org, app);
    return std::make_unique<QSettings>(QDir(folder).filePath(org + QLatin1Char('/') + app + QStringLiteral(".conf")),
                                       QSettings::IniFormat);
}

} // namespace

std::optional<std::string> QtSettingsBackend::read(const std::string &application, const std::string &section,
                                                   const std::string &key) const
{
    const auto settings = open(m_folder, application, section);
    const QVariant value = settings->value(QString::fromStdString(key));
    if (!value.isValid())
        return std::nullopt;
    return value.toString().toStdString();
}

void QtSettingsBackend::write(const std::string &application, const std::string &section, const std::string &key,
                              const std::string &value)
{
    const auto settings = open(m_folder, application, section);
    settings->setValue(QString::fromStdString(key), QString::fromStdString(value));
    settings->sync();
    if (settings->status() != QSettings::NoError)
        throw Failure("Cannot save the setting '" + key + "' in " + settings->fileName().toStdString());
}

} // namespace drovanta::platform
