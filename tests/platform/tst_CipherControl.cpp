#include "CipherControl.h"

#include <QRegularExpression>
#include <QTest>

class tst_CipherControl : public QObject
{
    Q_OBJECT

private slots:
    void enciphered_form();
    void round_trip_data();
    void round_trip();
    void keystream_is_keyed_and_does_not_repeat();
    void rejects_text_not_in_the_form_data();
    void rejects_text_not_in_the_form();
    void text_too_long_for_the_count_is_refused();
};

void tst_CipherControl::enciphered_form()
{
    static const QRegularExpression form(QStringLiteral("^[0-9]{6}[0-9A-F]*$"));
    for (qsizetype length : {0, 1, 39, 255, 4096}) {
        const QByteArray text(length, 'x');
        const QString enciphered = CipherControl::encipher(text, QStringLiteral("Zorvane"));
        QVERIFY2(form.match(enciphered).hasMatch(), qPrintable(enciphered.left(40)));
        QCOMPARE(enciphered.left(6).toInt(), 2 * length);
        QCOMPARE(enciphered.size(), 6 + 2 * length);
    }
    // An entry of 78 characters: a count of 72 with four leading zeros.
    QCOMPARE(CipherControl::encipher(QByteArray(36, 'a'), QStringLiteral("k")).left(6), QStringLiteral("000072"));
    QCOMPARE(CipherControl::encipher(QByteArray(), QStringLiteral("k")), QStringLiteral("000000"));
}

void tst_CipherControl::round_trip_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("key");

    QByteArray everyByte;
    for (int i = 0; i < 256; ++i)
        everyByte += char(i);
    QByteArray longText;
    for (int i = 0; i < 20000; ++i)
        longText += char((i * 7919) & 0xFF);

    QTest::newRow("empty") << QByteArray() << QStringLiteral("Zorvane");
    QTest::newRow("password") << QByteArrayLiteral("s3cret!") << QStringLiteral("demo@zorvane.test");
    QTest::newRow("every byte") << everyByte << QStringLiteral("Zorvane");
    QTest::newRow("NUL and CRLF") << QByteArray("a\0b\r\n.\r\n", 8) << QStringLiteral("x");
    QTest::newRow("long") << longText << QStringLiteral("Zorvane");
    QTest::newRow("UTF-8 password, UTF-8 key")
        << QStringLiteral("pässwörd€😀").toUtf8() << QStringLiteral("jürgen@zorvane.test");
    QTest::newRow("empty key") << QByteArrayLiteral("text") << QString();
    QTest::newRow("key of non-BMP characters") << QByteArrayLiteral("text") << QStringLiteral("😀😀");
}

void tst_CipherControl::round_trip()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, key);
    const QString enciphered = CipherControl::encipher(text, key);
    bool ok = false;
    QCOMPARE(CipherControl::decipher(enciphered, key, &ok), text);
    QVERIFY(ok);
    // The same text and key always give the same form (stored texts are
    // enciphered once, at build time).
    QCOMPARE(CipherControl::encipher(text, key), enciphered);
}

void tst_CipherControl::keystream_is_keyed_and_does_not_repeat()
{
    // Enciphering zero bytes shows the keystream itself.
    const QByteArray zeros(256, '\0');
    const QByteArray stream =
        QByteArray::fromHex(CipherControl::encipher(zeros, QStringLiteral("ab")).mid(6).toLatin1());
    QCOMPARE(stream.size(), zeros.size());
    QVERIFY2(stream != zeros, "the text must not come out in the clear");
    // A repeating XOR with the key would repeat with the key's length.
    for (int period : {1, 2, 4, 32}) {
        bool repeats = true;
        for (int i = 0; i + period < stream.size() && repeats; ++i)
            repeats = stream.at(i) == stream.at(i + period);
        QVERIFY2(!repeats, qPrintable(QStringLiteral("keystream repeats every %1 bytes").arg(period)));
    }
    // Keys that differ in one character give unrelated streams.
    const QByteArray other =
        QByteArray::fromHex(CipherControl::encipher(zeros, QStringLiteral("ac")).mid(6).toLatin1());
    int equalBytes = 0;
    for (int i = 0; i < stream.size(); ++i)
        equalBytes += stream.at(i) == other.at(i);
    QVERIFY2(equalBytes < 16, qPrintable(QString::number(equalBytes)));
    // Deciphering with the wrong key does not give the text back.
    bool ok = false;
    const QByteArray text("the password");
    QVERIFY(CipherControl::decipher(CipherControl::encipher(text, QStringLiteral("ab")), QStringLiteral("ac"), &ok)
            != text);
}

void tst_CipherControl::rejects_text_not_in_the_form_data()
{
    QTest::addColumn<QString>("enciphered");
    QTest::newRow("empty") << QString();
    QTest::newRow("short count") << QStringLiteral("00000");
    QTest::newRow("count not decimal") << QStringLiteral("00000aAB");
    QTest::newRow("odd count") << QStringLiteral("000003ABC");
    QTest::newRow("fewer digits than counted") << QStringLiteral("000004ABC");
    QTest::newRow("more digits than counted") << QStringLiteral("000002AB00");
    QTest::newRow("not hexadecimal") << QStringLiteral("000002ZZ");
    QTest::newRow("non-Latin digit") << QStringLiteral("000002A٣");
    QTest::newRow("blank inside") << QStringLiteral("000002 A");
}

void tst_CipherControl::rejects_text_not_in_the_form()
{
    QFETCH(QString, enciphered);
    bool ok = true;
    QCOMPARE(CipherControl::decipher(enciphered, QStringLiteral("Zorvane"), &ok), QByteArray());
    QVERIFY(!ok);
}

void tst_CipherControl::text_too_long_for_the_count_is_refused()
{
    // Six digits count at most 999999 hexadecimal digits: 499999 bytes.
    QCOMPARE(CipherControl::encipher(QByteArray(499999, 'x'), QStringLiteral("k")).left(6), QStringLiteral("999998"));
    QCOMPARE(CipherControl::encipher(QByteArray(500000, 'x'), QStringLiteral("k")), QString());
}

QTEST_GUILESS_MAIN(tst_CipherControl)
#include "tst_CipherControl.moc"
