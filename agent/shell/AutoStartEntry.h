#pragma once

#include <QString>

// The entry that starts the program at logon. On Linux the XDG autostart
// file $XDG_CONFIG_HOME/autostart/Zorvane.desktop, whose Exec is the full
// path of the program; on Windows the value "Zorvane" of the Run key.
class AutoStartEntry
{
public:
    explicit AutoStartEntry(const QString &entryPath = defaultPath());

    // The entry's Exec value as written; empty when there is no entry or it
    // cannot be read.
    QString read() const;
    bool write(const QString &programPath);
    bool remove();

    // Saving with "&Auto start" checked writes the entry (replacing it);
    // unchecked removes an entry that exists and leaves an absent one alone.
    void SetAutoStart(bool enable, const QString &programPath);

    QString path() const { return m_path; }
    static QString defaultPath();
    // The program path written as a desktop entry's Exec value.
    static QString execValue(const QString &programPath);

private:
    QString m_path;
};
