#include "StoredTexts.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTest>

// The table the build made from this folder's storedtexts/.
StoredTextTable TestStoredTexts();

class tst_StoredTexts : public QObject
{
    Q_OBJECT

private slots:
    void entry_is_the_file_less_one_final_line_feed_data();
    void entry_is_the_file_less_one_final_line_feed();
    void every_shipped_entry_deciphers_to_its_file();
    void entries_are_compiled_in_enciphered();
    void missing_entry_is_reported();
    void stored_password_round_trip();
};

void tst_StoredTexts::entry_is_the_file_less_one_final_line_feed_data()
{
    QTest::addColumn<int>("entry");
    QTest::addColumn<QByteArray>("plain");
    QTest::newRow("final LF removed") << 9001 << QByteArray("abc");
    QTest::newRow("only one of two final LFs") << 9002 << QByteArray("x\n");
    QTest::newRow("CRLF keeps its CR") << 9003 << QByteArray("a\r\nb\r");
    QTest::newRow("empty file") << 9004 << QByteArray();
    QTest::newRow("no final LF") << 9005 << QByteArray("tail");
    QTest::newRow("any bytes") << 9006 << QByteArray("\x00\xff\xfe\x80 <?xml?>\t", 13);
    QTest::newRow("UTF-8 stays bytes") << 9007
                                       << QByteArray("Gr\xc3\xbc\xc3\x9f"
                                                     "e \xe2\x82\xac");
}

void tst_StoredTexts::entry_is_the_file_less_one_final_line_feed()
{
    QFETCH(int, entry);
    QFETCH(QByteArray, plain);
    bool ok = false;
    QCOMPARE(LoadStoredTextFrom(TestStoredTexts(), entry, ProductName(), &ok), plain);
    QVERIFY(ok);
}

void tst_StoredTexts::every_shipped_entry_deciphers_to_its_file()
{
    const QDir folder(qEnvironmentVariable("ZORVANE_SOURCE_DIR") + QStringLiteral("/agent/shell/storedtexts"));
    static const QRegularExpression entryName(QStringLiteral("^(\\d{4})-"));
    const QStringList files = folder.entryList(QDir::Files);
    QVERIFY2(!files.isEmpty(), qPrintable(folder.path()));
    int checked = 0;
    for (const QString &name : files) {
        const QRegularExpressionMatch match = entryName.match(name);
        if (!match.hasMatch())
            continue;
        QFile file(folder.filePath(name));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QByteArray expected = file.readAll();
        if (expected.endsWith('\n'))
            expected.chop(1);
        bool ok = false;
        QCOMPARE(LoadStoredText(match.captured(1).toInt(), &ok), expected);
        QVERIFY2(ok, qPrintable(name));
        ++checked;
    }
    QCOMPARE(qsizetype(checked), CompiledStoredTexts().size());
}

void tst_StoredTexts::entries_are_compiled_in_enciphered()
{
    // No stored text is in the program as plain text, and each is in the
    // enciphered form with the product name as key.
    static const QRegularExpression form(QStringLiteral("^[0-9]{6}[0-9A-F]*$"));
    QVERIFY(!CompiledStoredTexts().empty());
    for (const StoredTextEntry &entry : CompiledStoredTexts()) {
        const QString enciphered = QString::fromLatin1(entry.enciphered);
        QVERIFY2(form.match(enciphered).hasMatch(), qPrintable(QString::number(entry.number)));
        bool ok = false;
        const QByteArray plain = DecipherText(enciphered, ProductName(), &ok);
        QVERIFY(ok);
        if (plain.size() >= 4)
            QVERIFY(!enciphered.toLatin1().contains(plain.toHex().toUpper()));
        QVERIFY(DecipherText(enciphered, QStringLiteral("Other"), &ok) != plain || plain.isEmpty());
    }
}

void tst_StoredTexts::missing_entry_is_reported()
{
    bool ok = true;
    QCOMPARE(LoadStoredText(999, &ok), QByteArray());
    QVERIFY(!ok);
    ok = true;
    QCOMPARE(LoadStoredTextFrom(TestStoredTexts(), 1001, ProductName(), &ok), QByteArray());
    QVERIFY(!ok);
}

void tst_StoredTexts::stored_password_round_trip()
{
    // As the POP3 side stores a password and the SMTP side reads it back.
    const QString user = QStringLiteral("demo@zorvane.test");
    const QByteArray password = QStringLiteral("dëmo pass€").toUtf8();
    const QString stored = EncipherText(password, user);
    QCOMPARE(stored.left(6).toInt(), 2 * password.size());
    bool ok = false;
    QCOMPARE(DecipherText(stored, user, &ok), password);
    QVERIFY(ok);
    QVERIFY(DecipherText(stored, QStringLiteral("other@zorvane.test"), &ok) != password);
}

QTEST_GUILESS_MAIN(tst_StoredTexts)
#include "tst_StoredTexts.moc"
