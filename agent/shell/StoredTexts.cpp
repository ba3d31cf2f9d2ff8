#include "StoredTexts.h"

#include "CipherControl.h"

#ifndef ZORVANE_PRODUCT_NAME
#error "the build passes ZORVANE_PRODUCT_NAME"
#endif

QString EncipherText(const QByteArray &text, const QString &key)
{
    return CipherControl::encipher(text, key);
}

QByteArray DecipherText(const QString &enciphered, const QString &key, bool *ok)
{
    return CipherControl::decipher(enciphered, key, ok);
}

QString ProductName()
{
    return QStringLiteral(ZORVANE_PRODUCT_NAME);
}

QByteArray LoadStoredTextFrom(StoredTextTable table, int entry, const QString &key, bool *ok)
{
    for (const StoredTextEntry &stored : table) {
        if (stored.number == entry)
            return DecipherText(QString::fromLatin1(stored.enciphered), key, ok);
    }
    if (ok)
        *ok = false;
    return QByteArray();
}

QByteArray LoadStoredText(int entry, bool *ok)
{
    return LoadStoredTextFrom(CompiledStoredTexts(), entry, ProductName(), ok);
}
