#pragma once

#include <QList>
#include <QString>

#include <utility>

// The per-user settings store: application Zorvane, sections Preferences and
// AccountInfo, values are strings. On Linux an INI file
// $XDG_CONFIG_HOME/Zorvane/Zorvane.ini (mode 0600), written to a temporary
// file and renamed so a crash mid-save never leaves half a store.
class SettingsStore
{
public:
    explicit SettingsStore(const QString &iniPath = defaultPath());

    QString value(const QString &section, const QString &key, const QString &defaultValue = QString()) const;
    bool contains(const QString &section, const QString &key) const;
    // One key; false (and why, in error) when the store could not be written.
    bool setValue(const QString &section, const QString &key, const QString &value, QString *error = nullptr);
    // Several keys of one section in one write of the store; false when the
    // store could not be written (the old store is then unchanged), and why
    // in error.
    bool setValues(const QString &section, const QList<std::pair<QString, QString>> &values, QString *error = nullptr);

    QString path() const { return m_path; }
    static QString defaultPath();

private:
    QString m_path;
};
