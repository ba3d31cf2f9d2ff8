#pragma once

#include <QByteArray>
#include <QString>

#include <span>

// The cipher wrappers and the stored request texts (entries 1001..1045),
// compiled in enciphered with the product name as key.
QString EncipherText(const QByteArray &text, const QString &key);
QByteArray DecipherText(const QString &enciphered, const QString &key, bool *ok = nullptr);
// The plain text of a stored entry; ok false when the entry does not exist.
QByteArray LoadStoredText(int entry, bool *ok = nullptr);
QString ProductName();

// One compiled-in entry: its number and its enciphered text.
struct StoredTextEntry
{
    int number;
    const char *enciphered;
};
using StoredTextTable = std::span<const StoredTextEntry>;

// The table the build generates from agent/shell/storedtexts/.
StoredTextTable CompiledStoredTexts();
// The plain text of an entry of any table, deciphered with key.
QByteArray LoadStoredTextFrom(StoredTextTable table, int entry, const QString &key, bool *ok = nullptr);
