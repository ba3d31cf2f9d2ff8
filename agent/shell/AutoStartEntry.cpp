#include "AutoStartEntry.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSettings>
#include <QStandardPaths>

namespace {

// Bigger than any entry we write; a stranger file is not read into memory.
constexpr qint64 MaxEntryBytes = 64 * 1024;

const QByteArray ExecKey = QByteArrayLiteral("Exec=");

} // namespace

AutoStartEntry::AutoStartEntry(const QString &entryPath)
    : m_path(entryPath)
{
}

QString AutoStartEntry::defaultPath()
{
#ifdef Q_OS_WIN
    // The machine-wide Run key; its value "Zorvane" is the entry.
    return QStringLiteral("HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run");
#endif
    const QString configHome = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    return QDir(configHome).filePath(QStringLiteral("autostart/Zorvane.desktop"));
}

QString AutoStartEntry::execValue(const QString &programPath)
{
    // Inside double quotes the characters " ` $ \ are escaped with a
    // backslash; '%' starts a field code and is doubled. Then the whole
    // value is a string value, whose own escape doubles each backslash.
    QString quoted;
    for (const QChar c : programPath) {
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') || c == QLatin1Char('\\'))
            quoted += QLatin1Char('\\');
        if (c == QLatin1Char('%'))
            quoted += QLatin1Char('%');
        quoted += c;
    }
    quoted = QLatin1Char('"') + quoted + QLatin1Char('"');
    return quoted.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
}

QString AutoStartEntry::read() const
{
#ifdef Q_OS_WIN
    return QSettings(m_path, QSettings::NativeFormat).value(QStringLiteral("Zorvane")).toString();
#endif
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    const QByteArray content = file.read(MaxEntryBytes);
    for (const QByteArray &line : content.split('\n')) {
        const QByteArray trimmed = line.trimmed();
        if (trimmed.startsWith(ExecKey))
            return QString::fromUtf8(trimmed.mid(ExecKey.size())).trimmed();
    }
    return QString();
}

bool AutoStartEntry::write(const QString &programPath)
{
#ifdef Q_OS_WIN
    QSettings run(m_path, QSettings::NativeFormat);
    run.setValue(QStringLiteral("Zorvane"), QDir::toNativeSeparators(programPath));
    run.sync();
    return run.status() == QSettings::NoError;
#endif
    if (!QDir().mkpath(QFileInfo(m_path).absolutePath()))
        return false;
    QSaveFile file(m_path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    const QString entry = QStringLiteral("[Desktop Entry]\n"
                                         "Type=Application\n"
                                         "Name=Zorvane\n"
                                         "Comment=eMail Transfer Agent\n"
                                         "Exec=%1\n"
                                         "Terminal=false\n"
                                         "X-GNOME-Autostart-enabled=true\n")
                              .arg(execValue(programPath));
    file.write(entry.toUtf8());
    return file.commit();
}

bool AutoStartEntry::remove()
{
#ifdef Q_OS_WIN
    QSettings run(m_path, QSettings::NativeFormat);
    run.remove(QStringLiteral("Zorvane"));
    run.sync();
    return run.status() == QSettings::NoError;
#endif
    return QFile::remove(m_path);
}

void AutoStartEntry::SetAutoStart(bool enable, const QString &programPath)
{
    // Failures are not reported: the settings themselves are saved anyway.
    const QString current = read();
    if (enable)
        write(programPath);
    else if (!current.isEmpty())
        remove();
}
