#include "platform/qt/QtSettingsBackend.h"

#include "platform/Failure.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

#ifndef Q_OS_WIN
#include <unistd.h>
#endif

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

// Where the settings file lies, found without QSettings, which reads the
// file as soon as it is made (a named pipe there would block it).
QString settingsPath(const QString &folder, const std::string &application, const std::string &section)
{
    const QString name = QString::fromStdString(application) + QLatin1Char('/') + QString::fromStdString(section) +
        QStringLiteral(".conf");
    if (!folder.isEmpty())
        return QDir(folder).filePath(name);
    return QDir(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)).filePath(name);
}

// Whether `path` is a plain file of this user's, or nothing yet, in a real
// folder: what QSettings may read and replace. Looked at without following
// a link, and without opening it (a named pipe would block).
bool isOwnPlainFile(const QString &path)
{
#ifdef Q_OS_WIN
    (void)path;
    return true; // the registry, or a test's folder
#else
    const QFileInfo file(path);
    const QFileInfo folder(file.absolutePath());
    if (folder.isSymLink())
        return false;
    if (!file.exists() && !file.isSymLink())
        return true;
    return !file.isSymLink() && file.isFile() && file.ownerId() == ::geteuid();
#endif
}

} // namespace

bool QtSettingsBackend::usable(const std::string &application, const std::string &section) const
{
    if (!m_unsafe)
        m_unsafe = !isOwnPlainFile(settingsPath(m_folder, application, section));
    if (m_unsafe && !m_said) {
        m_said = true;
        throw Failure("The settings file '" + settingsPath(m_folder, application, section).toStdString() +
                      "' is not a plain file of yours (a link, a device, a named pipe or another user's file): it is "
                      "left alone, and the choices are kept until the program ends");
    }
    return !m_unsafe;
}

std::optional<std::string> QtSettingsBackend::read(const std::string &application, const std::string &section,
                                                   const std::string &key) const
{
    if (!usable(application, section)) {
        const auto kept = m_kept.find(key);
        return kept == m_kept.end() ? std::nullopt : std::optional<std::string>(kept->second);
    }
    const auto settings = open(m_folder, application, section);
    const QVariant value = settings->value(QString::fromStdString(key));
    if (!value.isValid())
        return std::nullopt;
    return value.toString().toStdString();
}

void QtSettingsBackend::write(const std::string &application, const std::string &section, const std::string &key,
                              const std::string &value)
{
    m_kept[key] = value;
    if (!usable(application, section))
        return;
    const auto settings = open(m_folder, application, section);
    settings->setValue(QString::fromStdString(key), QString::fromStdString(value));
    settings->sync();
    if (settings->status() != QSettings::NoError)
        throw Failure("Cannot save the setting '" + key + "' in " + settings->fileName().toStdString());
}

} // namespace drovanta::platform
