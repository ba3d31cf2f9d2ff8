#include "Utilities.h"

QByteArray Descramble(const QByteArray &text, const QByteArray &key)
{
    if (key.isEmpty())
        return text;
    QByteArray plain(text.size(), Qt::Uninitialized);
    for (qsizetype i = 0; i < text.size(); ++i)
        plain[i] = char(quint8(text.at(i)) ^ quint8(key.at(i % key.size())));
    return plain;
}

QString HexErrorNumber(qint32 number)
{
    return QString::number(quint32(number), 16).toUpper();
}
