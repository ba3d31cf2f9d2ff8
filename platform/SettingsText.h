#pragma once

#include <QString>

#include <optional>

class QSettings;

// The text of a value in the per-user settings store, exactly as stored.
// The toolkit's INI reader splits a value written by hand without quotes at
// its commas ("ServiceUrl=http://h/x?a=1,2" becomes a list of two); such a
// value is read again from its own line of the file, so every program that
// reads the store sees the same text the user wrote.
class SettingsText
{
public:
    // The value of key ("Section/Name"), or nothing when the store has no
    // such key.
    static std::optional<QString> Read(const QSettings &settings, const QString &key);

    // Turns every split value back into its text, so that writing the store
    // keeps it whole (the writer quotes a text with commas; a list it would
    // write back as "a, b").
    static void RejoinSplitValues(QSettings &settings);

private:
    static bool IsSplit(const QSettings &settings, const QString &key);
    static std::optional<QString> LineText(const QString &iniPath, const QString &key);
};
