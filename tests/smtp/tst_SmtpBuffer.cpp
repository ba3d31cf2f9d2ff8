// The intake of SMTP bytes: command texts, message texts and their end
// marker however the bytes are cut, the limits, and dot-unstuffing.
#include "SmtpBuffer.h"
#include "UnstuffData.h"

#include <QTest>

namespace {

enum class Cut { Whole, ByteByByte, SevenBytes };

QList<QByteArray> cutInto(const QByteArray &bytes, Cut cut)
{
    const qsizetype size = cut == Cut::Whole ? qMax<qsizetype>(1, bytes.size()) : cut == Cut::ByteByByte ? 1 : 7;
    QList<QByteArray> pieces;
    for (qsizetype at = 0; at < bytes.size(); at += size)
        pieces.append(bytes.mid(at, size));
    return pieces;
}

} // namespace

class tst_SmtpBuffer : public QObject
{
    Q_OBJECT
private slots:
    void unstuffing_data();
    void unstuffing();
    void messageEndsAtFirstMarker_data();
    void messageEndsAtFirstMarker();
    void commandTexts();
    void overlongCommandLineIsDroppedUpToItsEnd();
    void oversizedMessageIsCountedNotKept();
    void heldInputIsBounded();
};

void tst_SmtpBuffer::unstuffing_data()
{
    QTest::addColumn<QByteArray>("wire");
    QTest::addColumn<QByteArray>("message");
    QTest::newRow("plain") << QByteArray("Subject: a\r\n\r\nbody\r\n.\r\n") << QByteArray("Subject: a\r\n\r\nbody\r\n");
    QTest::newRow("stuffed lines") << QByteArray("a\r\n..\r\n...x\r\n.y\r\n..z\r\n.\r\n")
                                   << QByteArray("a\r\n.\r\n..x\r\n.y\r\n.z\r\n");
    QTest::newRow("stuffed first line") << QByteArray("..first\r\nb\r\n.\r\n") << QByteArray(".first\r\nb\r\n");
    QTest::newRow("empty message") << QByteArray(".\r\n") << QByteArray();
    QTest::newRow("dot line first") << QByteArray("..\r\n.\r\n") << QByteArray(".\r\n");
    QTest::newRow("text after marker") << QByteArray("a\r\n.\r\nQUIT\r\n") << QByteArray("a\r\n");
    QTest::newRow("bare LF is no line end") << QByteArray("a\n..b\r\n.\r\n") << QByteArray("a\n..b\r\n");
    QTest::newRow("8-bit and NUL") << QByteArrayLiteral("\xff\x00\x80\r\n..\x00\r\n.\r\n")
                                   << QByteArrayLiteral("\xff\x00\x80\r\n.\x00\r\n");
}

void tst_SmtpBuffer::unstuffing()
{
    QFETCH(QByteArray, wire);
    QFETCH(QByteArray, message);
    const QByteArray original(wire.constData(), wire.size()); // not shared with wire
    QCOMPARE(UnstuffData(wire), message);
    // A text the caller keeps is left as it was ...
    QCOMPARE(wire, original);
    // ... and one handed over is unstuffed in its own buffer.
    QByteArray handedOver(wire.constData(), wire.size());
    QCOMPARE(UnstuffData(std::move(handedOver)), message);

    // The buffer unstuffs as the bytes arrive: the same text however they
    // are cut, a stuffing dot or the end marker split across two reads at
    // every position, or arriving byte by byte; what follows the marker is
    // the next command text.
    const QByteArray rest = wire.startsWith(".\r\n") ? wire.mid(3) : wire.mid(wire.indexOf("\r\n.\r\n") + 5);
    for (qsizetype split = 0; split <= wire.size(); ++split) {
        SmtpBuffer buffer;
        buffer.beginMessage(wire.left(split));
        buffer.append(wire.mid(split));
        QByteArray text;
        QCOMPARE(buffer.take(&text), SmtpBuffer::Take::Complete);
        QCOMPARE(text, message);
        QCOMPARE(buffer.take(&text), rest.isEmpty() ? SmtpBuffer::Take::Incomplete : SmtpBuffer::Take::Complete);
        QCOMPARE(text, rest.isEmpty() ? message : rest);
    }
    SmtpBuffer buffer;
    buffer.beginMessage();
    QByteArray text;
    for (const char c : wire) {
        QCOMPARE(buffer.take(&text), SmtpBuffer::Take::Incomplete);
        buffer.append(QByteArray(1, c));
        if (buffer.messageComplete())
            break;
    }
    QCOMPARE(buffer.take(&text), SmtpBuffer::Take::Complete);
    QCOMPARE(text, message);
    // The log shows the text stuffed again: unstuffed, it is the message.
    QCOMPARE(UnstuffData(StuffData(message)), message);
    if (!wire.contains("\n.y"))
        QCOMPARE(StuffData(message) + rest, wire);
}

void tst_SmtpBuffer::messageEndsAtFirstMarker_data()
{
    QTest::addColumn<QByteArray>("received");
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QByteArray>("rest");
    const QList<std::tuple<const char *, QByteArray, QByteArray, QByteArray>> cases = {
        {"marker at end", "Subject: x\r\n\r\nhi\r\n.\r\n", "Subject: x\r\n\r\nhi\r\n", ""},
        {"next command after marker", "hi\r\n.\r\nQUIT\r\n", "hi\r\n", "QUIT\r\n"},
        {"empty message", ".\r\n", "", ""},
        {"empty message and command", ".\r\nRSET\r\n", "", "RSET\r\n"},
        {"stuffed dot lines do not end it", "..\r\n\r\n..\r\n.x\r\n.\r\n", ".\r\n\r\n.\r\n.x\r\n", ""},
        {"almost a marker", "a\r\n.\rb\r\n.x\r\n.\r\n", "a\r\n.\rb\r\n.x\r\n", ""},
        {"CR before the marker", "a\r\r\n.\r\n", "a\r\r\n", ""},
        {"dot and CR, then no LF", "a\r\n.\r\r\n.\r\n", "a\r\n.\r\r\n", ""},
    };
    for (const auto &[name, received, message, rest] : cases) {
        QTest::addRow("%s, whole", name) << received << message << rest;
        QTest::addRow("%s, byte by byte", name) << received << message << rest;
        QTest::addRow("%s, 7-byte pieces", name) << received << message << rest;
    }
}

void tst_SmtpBuffer::messageEndsAtFirstMarker()
{
    QFETCH(QByteArray, received);
    QFETCH(QByteArray, message);
    QFETCH(QByteArray, rest);
    const QByteArray tag = QTest::currentDataTag();
    const Cut cut = tag.endsWith("whole") ? Cut::Whole : tag.endsWith("byte") ? Cut::ByteByByte : Cut::SevenBytes;

    SmtpBuffer buffer;
    buffer.beginMessage();
    QByteArray taken;
    bool complete = false;
    for (const QByteArray &piece : cutInto(received, cut)) {
        buffer.append(piece);
        if (complete)
            continue;
        QByteArray text;
        const SmtpBuffer::Take take = buffer.take(&text);
        complete = take == SmtpBuffer::Take::Complete;
        if (complete)
            taken = text;
        else
            QCOMPARE(take, SmtpBuffer::Take::Incomplete);
    }
    QVERIFY(complete);
    QCOMPARE(taken, message);
    QCOMPARE(buffer.phase(), SmtpBuffer::Phase::Command);

    QByteArray next;
    QCOMPARE(buffer.take(&next), rest.isEmpty() ? SmtpBuffer::Take::Incomplete : SmtpBuffer::Take::Complete);
    QCOMPARE(next, rest);
}

void tst_SmtpBuffer::commandTexts()
{
    SmtpBuffer buffer;
    QByteArray text;
    buffer.append("HE");
    QCOMPARE(buffer.take(&text), SmtpBuffer::Take::Incomplete);
    buffer.append("LO client\r");
    QCOMPARE(buffer.take(&text), SmtpBuffer::Take::Incomplete);
    buffer.append("\n");
    QCOMPARE(buffer.take(&text), SmtpBuffer::Take::Complete);
    QCOMPARE(text, QByteArray("HELO client\r\n"));
    QVERIFY(buffer.isEmpty());

    // Two lines that arrive together are one command text.
    buffer.append("RSET\r\nNOOP\r\n");
    QCOMPARE(buffer.take(&text), SmtpBuffer::Take::Complete);
    QCOMPARE(text, QByteArray("RSET\r\nNOOP\r\n"));

    // What was received before DATA was answered belongs to the message.
    buffer.append("Subject: early\r\n");
    buffer.beginMessage();
    QVERIFY(!buffer.messageComplete());
    buffer.append(".\r\n");
    QCOMPARE(buffer.take(&text), SmtpBuffer::Take::Complete);
    QCOMPARE(text, QByteArray("Subject: early\r\n"));

    // What followed the DATA line in its own text comes first.
    buffer.append("after\r\n");
    buffer.beginMessage("Subject: with DATA\r\n");
    buffer.append(".\r\n");
    QCOMPARE(buffer.take(&text), SmtpBuffer::Take::Complete);
    QCOMPARE(text, QByteArray("Subject: with DATA\r\nafter\r\n"));

    // A head given at the start stands in front of the text handed over,
    // and is neither unstuffed nor searched for the marker.
    buffer.append("..x\r\n");
    buffer.beginMessage("", "MAIL FROM:<a@b.c>\r\n\r\n.\r\n");
    QVERIFY(!buffer.messageComplete());
    buffer.append(".\r\n");
    QCOMPARE(buffer.take(&text), SmtpBuffer::Take::Complete);
    QCOMPARE(text, QByteArray("MAIL FROM:<a@b.c>\r\n\r\n.\r\n.x\r\n"));
}

void tst_SmtpBuffer::overlongCommandLineIsDroppedUpToItsEnd()
{
    for (const Cut cut : {Cut::Whole, Cut::SevenBytes}) {
        SmtpBuffer buffer;
        QByteArray text;
        const QByteArray longLine(SmtpBuffer::MaxCommandTextBytes, 'x');
        for (const QByteArray &piece : cutInto(longLine, cut))
            buffer.append(piece);
        QCOMPARE(buffer.take(&text), SmtpBuffer::Take::TooLong);
        QVERIFY(buffer.isEmpty());

        // The rest of that line is dropped as it comes, even with its CR LF
        // cut in two; the next line is a command again.
        buffer.append("more of the same\r");
        QCOMPARE(buffer.take(&text), SmtpBuffer::Take::Incomplete);
        QVERIFY(buffer.size() <= 1);
        buffer.append("\nNOOP\r\n");
        QCOMPARE(buffer.take(&text), SmtpBuffer::Take::Complete);
        QCOMPARE(text, QByteArray("NOOP\r\n"));
    }
}

void tst_SmtpBuffer::oversizedMessageIsCountedNotKept()
{
    SmtpBuffer buffer;
    buffer.beginMessage();
    const QByteArray block = QByteArray(64 * 1024 - 2, 'a') + "\r\n";
    while (buffer.messageBytes() <= SmtpBuffer::MaxMessageBytes)
        buffer.append(block);
    // Past the limit only the bytes a marker may have begun in are kept.
    buffer.append(block);
    QVERIFY2(buffer.size() <= 4 + block.size(), QByteArray::number(buffer.size()).constData());

    buffer.append(".");
    buffer.append("\r\nQUIT\r\n");
    QByteArray text;
    QCOMPARE(buffer.take(&text), SmtpBuffer::Take::TooLarge);
    QVERIFY(text.isEmpty());
    QCOMPARE(buffer.take(&text), SmtpBuffer::Take::Complete);
    QCOMPARE(text, QByteArray("QUIT\r\n"));

    // A message of exactly the limit, marker included, is taken whole.
    QByteArray limit(SmtpBuffer::MaxMessageBytes, 'b');
    limit.replace(limit.size() - 5, 5, "\r\n.\r\n");
    buffer.beginMessage();
    buffer.append(limit);
    QCOMPARE(buffer.take(&text), SmtpBuffer::Take::Complete);
    QCOMPARE(text.size(), SmtpBuffer::MaxMessageBytes - 3); // the marker's dot line is not part of it
}

// Command texts waiting to be answered, and what follows a whole message,
// are held up to the limit; the message being gathered is not counted.
void tst_SmtpBuffer::heldInputIsBounded()
{
    const QByteArray noops = QByteArray("NOOP\r\n").repeated(64 * 1024);
    SmtpBuffer commands;
    qsizetype accepted = 0;
    while (commands.append(noops))
        accepted += noops.size();
    QVERIFY(accepted <= SmtpBuffer::MaxHeldInputBytes);
    QVERIFY(accepted + noops.size() > SmtpBuffer::MaxHeldInputBytes);

    SmtpBuffer message;
    message.beginMessage();
    for (int n = 0; n < 4; ++n)
        QVERIFY(message.append(QByteArray(SmtpBuffer::MaxHeldInputBytes / 2, 'm')));
    QVERIFY(message.append("\r\n.\r\n"));
    QCOMPARE(message.heldInputBytes(), 0);
    QVERIFY(message.append(noops));
    QCOMPARE(message.heldInputBytes(), noops.size());
    while (message.append(noops)) { }
    QVERIFY(message.heldInputBytes() > SmtpBuffer::MaxHeldInputBytes);
}

QTEST_APPLESS_MAIN(tst_SmtpBuffer)
#include "tst_SmtpBuffer.moc"
