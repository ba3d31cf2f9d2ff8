// The parts of the session that work without the service: the message
// store's replies and marks, the replies built around a message text and the
// error table.

#include "MessageStore.h"
#include "MessageTextReplies.h"
#include "SessionErrors.h"

#include <QTest>

namespace {

const QByteArray CRLF("\r\n");

// Three messages of 100, 200 and 300 octets.
MessageStore ThreeMessages()
{
    return MessageStore::FromListing({"", "http://h/m/inbox/a1", "http://h/m/inbox/b2", "http://h/m/inbox/c3"},
                                     {0, 100, 200, 300});
}

} // namespace

class tst_SessionTables : public QObject
{
    Q_OBJECT

private slots:
    void listingsWithMarks();
    void marksAndReset();
    void storeBeforeAnyLoadIsEmpty();
    void statTotalBeyond32Bits();
    void listingOfManyMessagesIsComplete();
    void listSplitting();
    void retrieveReply_data();
    void retrieveReply();
    void topReply_data();
    void topReply();
    void headerSectionReply_data();
    void headerSectionReply();
    void errorTexts_data();
    void errorTexts();
};

void tst_SessionTables::listingsWithMarks()
{
    MessageStore store = ThreeMessages();
    QCOMPARE(store.Mark(2), QByteArray("+OK marked for deletion"));

    QCOMPARE(store.Stat(), QByteArray("+OK 3 600"));
    QCOMPARE(store.List(0), QByteArray("+OK 3 600\r\n1 100\r\n2 200\r\n3 300\r\n."));
    QCOMPARE(store.List(-5), store.List(0));
    QCOMPARE(store.ListNames(0), QByteArray("+OK 3 600\r\n1 a1\r\n2 b2\r\n3 c3\r\n."));
    QCOMPARE(store.List(3), QByteArray("+OK 3 300"));
    QCOMPARE(store.ListNames(1), QByteArray("+OK 1 a1"));
    QCOMPARE(store.List(2), QByteArray("-ERR deleted"));
    QCOMPARE(store.ListNames(2), QByteArray("-ERR deleted"));
    QCOMPARE(store.List(4), QByteArray("-ERR no such message"));
    QCOMPARE(store.ListNames(4), QByteArray("-ERR no such message"));
}

void tst_SessionTables::marksAndReset()
{
    MessageStore store = ThreeMessages();
    QCOMPARE(store.Mark(0), QByteArray("-ERR no such message"));
    QCOMPARE(store.Mark(4), QByteArray("-ERR no such message"));
    QCOMPARE(store.Mark(3), QByteArray("+OK marked for deletion"));
    QCOMPARE(store.Mark(3), QByteArray("+OK marked for deletion"));
    QVERIFY(store.IsMarked(3));
    QVERIFY(!store.IsMarked(1));
    QVERIFY(store.MarksCoverMessages());

    QCOMPARE(store.ResetMarks(), QByteArray("+OK reset"));
    for (int i = 0; i <= 3; ++i)
        QVERIFY(!store.IsMarked(i));
    QCOMPARE(store.List(3), QByteArray("+OK 3 300"));
}

void tst_SessionTables::storeBeforeAnyLoadIsEmpty()
{
    MessageStore store;
    QCOMPARE(store.Stat(), QByteArray("+OK 0 0"));
    QCOMPARE(store.List(0), QByteArray("+OK 0 0\r\n."));
    QCOMPARE(store.ListNames(0), QByteArray("+OK 0 0\r\n."));
    QCOMPARE(store.List(1), QByteArray("-ERR no such message"));
    QCOMPARE(store.Mark(1), QByteArray("-ERR no such message"));
    QCOMPARE(store.HighestMessageNumber(), 0);
    QCOMPARE(store.Size(0), qint64(0));
    QVERIFY(!store.IsMessageNumber(0));
}

void tst_SessionTables::statTotalBeyond32Bits()
{
    const qint64 big = 3'000'000'000LL;
    const MessageStore store = MessageStore::FromListing({"", "u/a", "u/b"}, {0, big, big});
    QCOMPARE(store.Stat(), QByteArray("+OK 2 6000000000"));
    QCOMPARE(store.List(2), QByteArray("+OK 2 3000000000"));
}

void tst_SessionTables::listingOfManyMessagesIsComplete()
{
    constexpr int Count = 10000;
    QList<QByteArray> urls{""};
    QList<qint64> sizes{0};
    for (int i = 1; i <= Count; ++i) {
        urls.append("http://h/inbox/m" + QByteArray::number(i));
        sizes.append(i);
    }
    const MessageStore store = MessageStore::FromListing(urls, sizes);
    const QByteArray listing = store.List(0);
    const QList<QByteArray> lines = listing.split('\n');
    QCOMPARE(lines.size(), Count + 2);
    QCOMPARE(lines.first(), QByteArray("+OK 10000 50005000\r"));
    QCOMPARE(lines.at(Count), QByteArray("10000 10000\r"));
    QCOMPARE(lines.last(), QByteArray("."));
    QCOMPARE(store.ListNames(Count), QByteArray("+OK 10000 m10000"));
}

void tst_SessionTables::listSplitting()
{
    QCOMPARE(MessageStore::SplitUrlList("*http://h/i/a*http://h/i/b"),
             (QList<QByteArray>{"", "http://h/i/a", "http://h/i/b"}));
    QCOMPARE(MessageStore::SplitUrlList(""), QList<QByteArray>{""});
    // Whatever stands before the first "*" carries no message.
    QCOMPARE(MessageStore::SplitUrlList("junk*u/x"), (QList<QByteArray>{"", "u/x"}));
    QCOMPARE(MessageStore::ListMessageNames({"", "http://h/i/a.1", "noslash"}),
             (QList<QByteArray>{"", "a.1", "noslash"}));

    QCOMPARE(MessageStore::SplitSizeList("+412+1203+52871"), (QList<qint64>{0, 412, 1203, 52871}));
    QCOMPARE(MessageStore::SplitSizeList(""), QList<qint64>{0});
    QVERIFY(!MessageStore::SplitSizeList("+12+abc").has_value());
    QVERIFY(!MessageStore::SplitSizeList("+12+").has_value());

    // Lists of different lengths never make a store whose tables disagree.
    const MessageStore mismatch = MessageStore::FromListing({"", "u/a", "u/b"}, {0, 5});
    QCOMPARE(mismatch.HighestMessageNumber(), 0);
    QCOMPARE(mismatch.Stat(), QByteArray("+OK 0 0"));
}

void tst_SessionTables::retrieveReply_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("reply");
    const QByteArray twelve = "abcd\r\n\r\nxy\r\n";
    QTest::newRow("ends in CRLF: sent as it is") << twelve << "+OK 12\r\n" + twelve + ".";
    QTest::newRow("no final line end: closed for the terminator")
        << QByteArray("abc") << QByteArray("+OK 3\r\nabc\r\n.");
    QTest::newRow("empty") << QByteArray() << QByteArray("+OK 0\r\n.");
    const QByteArray eightBit("H: \xe9\xff\0x\r\n\r\n\x80\n.\r\n", 16);
    QTest::newRow("8-bit, NUL, bare LF and a dot line untouched") << eightBit << "+OK 16\r\n" + eightBit + ".";
}

void tst_SessionTables::retrieveReply()
{
    QFETCH(QByteArray, text);
    QTEST(MessageTextReplies::RetrieveReply(text), "reply");
}

void tst_SessionTables::topReply_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("lines");
    QTest::addColumn<QByteArray>("reply");

    const QByteArray twelve = "abcd\r\n\r\nxy\r\n";
    // No body line: the header section and the one empty line closing it.
    QTest::newRow("no body line of one") << twelve << 0 << QByteArray("+OK\r\nabcd\r\n\r\n.");
    QTest::newRow("negative count") << twelve << -1 << QByteArray("+OK\r\nabcd\r\n\r\n.");
    QTest::newRow("lowest count") << twelve << int(-2147483647 - 1) << QByteArray("+OK\r\nabcd\r\n\r\n.");
    QTest::newRow("empty body, no line") << QByteArray("abcd\r\n\r\n") << 0 << QByteArray("+OK\r\nabcd\r\n\r\n.");
    QTest::newRow("all lines asked") << twelve << 1 << "+OK\r\n" + twelve + ".";
    QTest::newRow("more lines than the body has") << twelve << 50 << "+OK\r\n" + twelve + ".";

    const QByteArray three = "S: x\r\nT: y\r\n\r\nl1\r\nl2\r\nl3\r\n";
    QTest::newRow("two of three") << three << 2 << QByteArray("+OK\r\nS: x\r\nT: y\r\n\r\nl1\r\nl2\r\n\r\n.");
    QTest::newRow("header blank line kept") << three << 1 << QByteArray("+OK\r\nS: x\r\nT: y\r\n\r\nl1\r\n\r\n.");

    // Without an empty line the whole text is the header section.
    const QByteArray headersOnly = "S: x\r\nT: y\r\n";
    QTest::newRow("headers only, zero lines") << headersOnly << 0 << "+OK\r\n" + headersOnly + "\r\n.";
    QTest::newRow("headers only, negative count") << headersOnly << -1 << "+OK\r\n" + headersOnly + "\r\n.";
    QTest::newRow("headers only, no final line end") << QByteArray("S: x") << 0 << QByteArray("+OK\r\nS: x\r\n\r\n.");
    QTest::newRow("headers only, one line asked") << headersOnly << 1 << "+OK\r\n" + headersOnly + ".";
    QTest::newRow("empty text, zero lines") << QByteArray() << 0 << QByteArray("+OK\r\n\r\n.");

    // A bare LF is no line end of the message; lines are cut at CRLF only.
    const QByteArray bareLf = "S: x\r\n\r\na\nb\r\nc\r\n";
    QTest::newRow("bare LF inside a line") << bareLf << 1 << QByteArray("+OK\r\nS: x\r\n\r\na\nb\r\n\r\n.");
}

void tst_SessionTables::topReply()
{
    QFETCH(QByteArray, text);
    QFETCH(int, lines);
    QTEST(MessageTextReplies::TopReply(text, lines), "reply");
}

void tst_SessionTables::headerSectionReply_data()
{
    QTest::addColumn<QByteArray>("lines");
    QTest::addColumn<QByteArray>("reply");
    QTest::newRow("lines with their ends")
        << QByteArray("A: 1\r\nB: 2\r\n") << QByteArray("+OK\r\nA: 1\r\nB: 2\r\n\r\n.");
    QTest::newRow("last line without end") << QByteArray("A: 1\r\nB: 2") << QByteArray("+OK\r\nA: 1\r\nB: 2\r\n\r\n.");
    // An empty line would close the section before the lines after it.
    QTest::newRow("empty lines dropped") << QByteArray("\r\nA: 1\r\n\r\n\r\nB: 2\r\n\r\n")
                                         << QByteArray("+OK\r\nA: 1\r\nB: 2\r\n\r\n.");
    QTest::newRow("nothing") << QByteArray() << QByteArray("+OK\r\n\r\n.");
}

void tst_SessionTables::headerSectionReply()
{
    QFETCH(QByteArray, lines);
    QTEST(MessageTextReplies::HeaderSectionReply(lines), "reply");
}

void tst_SessionTables::errorTexts_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("0") << 0 << QByteArray("0 - Error details not available.");
    QTest::newRow("400") << 400 << QByteArray("400 - Command not understood by firewall or proxy server.");
    QTest::newRow("401") << 401 << QByteArray("401 - Authentication failed.");
    QTest::newRow("403") << 403 << QByteArray("403 - Command blocked by firewall or proxy server.");
    QTest::newRow("503") << 503 << QByteArray("503 - Hotmail service unavailable.");
    QTest::newRow("12001 without full stop")
        << 12001 << QByteArray("12001 - No more handles could be generated at this time");
    QTest::newRow("12011 trailing blank")
        << 12011 << QByteArray("12011 - The request option can not be set, only queried. ");
    QTest::newRow("12014 trailing blank")
        << 12014
        << QByteArray("12014 - The request to connect and login to an FTP server could not be completed because the "
                      "supplied password is incorrect. ");
    QTest::newRow("12016") << 12016 << QByteArray("12016 - The requested operation is invalid. ");
    QTest::newRow("12021") << 12021 << QByteArray("12021 - A required registry value could not be located. ");
    QTest::newRow("12023") << 12023 << QByteArray("12023 - Direct network access cannot be made at this time. ");
    QTest::newRow("12029") << 12029 << QByteArray("12029 - The attempt to connect to the server failed.");
    QTest::newRow("12031") << 12031 << QByteArray("12031 - The connection with the server has been reset.");
    QTest::newRow("12032 not in the table") << 12032 << QByteArray("12032 - Error details not available.");
    QTest::newRow("12035 not in the table") << 12035 << QByteArray("12035 - Error details not available.");
    QTest::newRow("12036") << 12036 << QByteArray("12036 - The request failed because the handle already exists.");
    QTest::newRow("12037 certificate date")
        << 12037 << QByteArray("12037 - The date in the certificate is invalid or has expired.");
    QTest::newRow("12038 certificate name")
        << 12038 << QByteArray("12038 - The host name in the certificate is invalid or does not match.");
    QTest::newRow("12045 certificate authority")
        << 12045 << QByteArray("12045 - The certificate authority is invalid or incorrect.");
    QTest::newRow("12157 secure channel") << 12157 << QByteArray("12157 - A secure channel could not be established.");
    QTest::newRow("negative") << -2147467259 << QByteArray("-2147467259 - Error details not available.");
}

void tst_SessionTables::errorTexts()
{
    QFETCH(int, code);
    QTEST(SessionErrors::ErrorText(code), "text");
}

QTEST_GUILESS_MAIN(tst_SessionTables)
#include "tst_SessionTables.moc"
