#include "CipherControl.h"

#include <QCryptographicHash>
#include <QtEndian>

namespace {

constexpr int CountDigits = 6; // the form's leading decimal count of hex digits
// The count field holds at most 999999 hex digits, two per byte.
constexpr qsizetype MaxPlainBytes = 999999 / 2;

// The keystream: SHA-256 over a domain label, the key's length, the key's
// UTF-8 bytes and a block counter, 32 bytes per block. Every byte of the key
// affects every byte of the stream, and the stream never repeats with the key.
class KeyStream
{
public:
    explicit KeyStream(const QString &key)
        : m_key(key.toUtf8())
    {
    }

    char next()
    {
        if (m_used == m_block.size())
            refill();
        return m_block.at(m_used++);
    }

private:
    void refill()
    {
        QCryptographicHash hash(QCryptographicHash::Sha256);
        hash.addData(QByteArrayView("Zorvane stored text cipher"));
        uchar lengthAndCounter[16];
        qToBigEndian<quint64>(quint64(m_key.size()), lengthAndCounter);
        qToBigEndian<quint64>(m_counter++, lengthAndCounter + 8);
        hash.addData(QByteArrayView(reinterpret_cast<const char *>(lengthAndCounter), 8));
        hash.addData(m_key);
        hash.addData(QByteArrayView(reinterpret_cast<const char *>(lengthAndCounter + 8), 8));
        m_block = hash.result();
        m_used = 0;
    }

    QByteArray m_key;
    QByteArray m_block;
    qsizetype m_used = 0;
    quint64 m_counter = 0;
};

int hexValue(QChar c)
{
    const char16_t u = c.unicode();
    if (u >= '0' && u <= '9')
        return u - '0';
    if (u >= 'A' && u <= 'F')
        return u - 'A' + 10;
    if (u >= 'a' && u <= 'f')
        return u - 'a' + 10;
    return -1;
}

} // namespace

QString CipherControl::encipher(const QByteArray &text, const QString &key)
{
    // A text too long for the six-digit count cannot be written in the form.
    if (text.size() > MaxPlainBytes)
        return QString();

    static constexpr char Hex[] = "0123456789ABCDEF";
    KeyStream stream(key);
    QString out;
    out.reserve(CountDigits + 2 * text.size());
    out += QStringLiteral("%1").arg(2 * text.size(), CountDigits, 10, QLatin1Char('0'));
    for (const char plain : text) {
        const uchar c = uchar(plain) ^ uchar(stream.next());
        out += QLatin1Char(Hex[c >> 4]);
        out += QLatin1Char(Hex[c & 0x0F]);
    }
    return out;
}

QByteArray CipherControl::decipher(const QString &enciphered, const QString &key, bool *ok)
{
    if (ok)
        *ok = false;
    if (enciphered.size() < CountDigits)
        return QByteArray();

    qsizetype count = 0;
    for (int i = 0; i < CountDigits; ++i) {
        const QChar c = enciphered.at(i);
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return QByteArray();
        count = count * 10 + (c.unicode() - '0');
    }
    if (count % 2 != 0 || enciphered.size() != CountDigits + count)
        return QByteArray();

    KeyStream stream(key);
    QByteArray plain;
    plain.reserve(count / 2);
    for (qsizetype i = CountDigits; i < enciphered.size(); i += 2) {
        const int high = hexValue(enciphered.at(i));
        const int low = hexValue(enciphered.at(i + 1));
        if (high < 0 || low < 0)
            return QByteArray();
        plain += char(uchar((high << 4) | low) ^ uchar(stream.next()));
    }
    if (ok)
        *ok = true;
    return plain;
}
