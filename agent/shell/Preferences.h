#pragma once

#include <QString>

class SettingsStore;

// The options of the Preferences section as the window's controls hold them:
// check boxes as Booleans, the two port boxes as the text typed.
struct Preferences
{
    bool AutoStart = true;
    bool StartInTray = false;
    bool ListUnreadOnly = true;
    bool MarkReadOnServer = true;
    bool DeleteOnServer = false;
    bool SaveSentItems = true;
    bool CollectPOP3 = false;
    bool DebugMode = false;
    QString Pop3Port = QStringLiteral("110");
    QString SmtpPort = QStringLiteral("25");
    // On when missing: with it off any host on the network could submit mail
    // as an account whose password we keep.
    bool LocalhostOnly = true;
    // On when missing: with it off, every other user of this computer could
    // submit mail through the agent as an account whose password we keep.
    // It has no control on the window and is only ever read.
    bool SameUserOnly = true;

    static inline const QString Section = QStringLiteral("Preferences");
    static inline const QString AccountSection = QStringLiteral("AccountInfo");

    // Reads the twelve keys, each missing key giving its default. A check
    // box value that is not a whole number also gives the default; any whole
    // number other than 0 means checked.
    static Preferences Read(const SettingsStore &store);

    // Writes ten keys (DebugMode and SameUserOnly are never written, so a
    // value set by hand stays as it is): the check boxes as "1" or "0", the
    // port texts exactly as they stand. False (and why, in error) when the
    // store could not be written.
    bool Save(SettingsStore &store, QString *error = nullptr) const;
};
