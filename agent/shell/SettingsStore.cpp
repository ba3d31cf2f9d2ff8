#include "SettingsStore.h"

#include "SettingsText.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

#include <cerrno>

#ifndef Q_OS_WIN
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// On Windows the default store is the per-user registry branch of the
// application; an explicit file path is an INI file everywhere.
QSettings::Format formatOf(const QString &path)
{
    return path.startsWith(QLatin1String("HKEY_")) ? QSettings::NativeFormat : QSettings::IniFormat;
}

QString settingsKey(const QString &section, const QString &key)
{
    return section + QLatin1Char('/') + key;
}

// The folder holds passwords (enciphered, but still): only we may enter it.
bool ensurePrivateFolder(const QString &folder)
{
    if (QFileInfo::exists(folder))
        return true;
    if (!QDir().mkpath(folder))
        return false;
#ifndef Q_OS_WIN
    ::chmod(QFile::encodeName(folder).constData(), 0700);
#endif
    return true;
}

// Creates the store empty and readable only by us before the first write, so
// it never exists with a wider mode.
bool ensurePrivateFile(const QString &path)
{
#ifdef Q_OS_WIN
    Q_UNUSED(path);
    return true;
#else
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    const bool ok = ::fchmod(fd, 0600) == 0;
    ::close(fd);
    return ok;
#endif
}

} // namespace

SettingsStore::SettingsStore(const QString &iniPath)
    : m_path(iniPath)
{
}

QString SettingsStore::defaultPath()
{
#ifdef Q_OS_WIN
    return QStringLiteral("HKEY_CURRENT_USER\\Software\\Zorvane\\Zorvane");
#endif
    const QString configHome = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    return QDir(configHome).filePath(QStringLiteral("Zorvane/Zorvane.ini"));
}

QString SettingsStore::value(const QString &section, const QString &key, const QString &defaultValue) const
{
    const QSettings settings(m_path, formatOf(m_path));
    return SettingsText::Read(settings, settingsKey(section, key)).value_or(defaultValue);
}

bool SettingsStore::contains(const QString &section, const QString &key) const
{
    const QSettings settings(m_path, formatOf(m_path));
    return settings.contains(settingsKey(section, key));
}

bool SettingsStore::setValue(const QString &section, const QString &key, const QString &value, QString *error)
{
    return setValues(section, {{key, value}}, error);
}

bool SettingsStore::setValues(const QString &section, const QList<std::pair<QString, QString>> &values, QString *error)
{
    const auto fail = [&](const QString &why) {
        if (error)
            *error = why;
        return false;
    };
    const QSettings::Format format = formatOf(m_path);
    if (format == QSettings::IniFormat) {
        const QString folder = QFileInfo(m_path).absolutePath();
        if (!ensurePrivateFolder(folder))
            return fail(QStringLiteral("cannot create the folder %1").arg(folder));
        if (!ensurePrivateFile(m_path))
            return fail(QStringLiteral("cannot create %1: %2").arg(m_path, qt_error_string(errno)));
    }
    // QSettings writes the whole store to a temporary file beside it and
    // renames that over the old one, keeping the old file's mode: a reader
    // sees the old store or the new one, never half of one. Writing through
    // QSettings also keeps its per-process cache of the file right.
    QSettings settings(m_path, format);
    // Values written by hand with commas are written back as they were read.
    SettingsText::RejoinSplitValues(settings);
    for (const auto &[key, text] : values)
        settings.setValue(settingsKey(section, key), text);
    settings.sync();
    if (settings.status() != QSettings::NoError)
        return fail(QStringLiteral("cannot write %1").arg(m_path));
    return true;
}
