#pragma once

#include <QByteArray>
#include <QString>

// The cipher wrappers and the stored request texts (entries 1001..1045),
// compiled in enciphered with the product name as key.
QString EncipherText(const QByteArray &text, const QString &key);
QByteArray DecipherText(const QString &enciphered, const QString &key, bool *ok = nullptr);
// The plain text of a stored entry; ok false when the entry does not exist.
QByteArray LoadStoredText(int entry, bool *ok = nullptr);
QString ProductName();
