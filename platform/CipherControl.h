#pragma once

#include <QByteArray>
#include <QString>

// Stand-in for the cipher component: a keyed stream cipher whose enciphered
// text form is six decimal digits giving the count of hexadecimal digits that
// follow, then two upper-case hexadecimal digits per 8-bit character.
// decipher(encipher(t, k), k) == t for any bytes t and key k.
class CipherControl
{
public:
    static QString encipher(const QByteArray &text, const QString &key);
    // Returns false through ok when text is not in the enciphered form.
    static QByteArray decipher(const QString &enciphered, const QString &key, bool *ok = nullptr);
};
