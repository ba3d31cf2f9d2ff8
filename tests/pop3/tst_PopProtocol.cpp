// The byte-level pieces of the POP3 front end: cutting input into command
// lines, stuffing data lines, taking a command line apart, normalising the
// user name. No network, no session.
#include "DotStuffing.h"
#include "PopBuffer.h"
#include "PopCommandLine.h"
#include "PopUserName.h"
#include "StuffedStream.h"

#include <QTest>

using Lines = QList<QByteArray>;
Q_DECLARE_METATYPE(PopNumber::Kind)

namespace {

// Feeds the chunks to a buffer and collects every line it gives out;
// "<too long>" stands for each overlong line it reports.
Lines feed(const QList<QByteArray> &chunks)
{
    PopBuffer buffer;
    Lines out;
    for (const QByteArray &chunk : chunks) {
        buffer.append(chunk);
        QByteArray line;
        for (;;) {
            const PopBuffer::Next next = buffer.takeNext(&line);
            if (next == PopBuffer::Next::Nothing)
                break;
            out.append(next == PopBuffer::Next::Line ? line : QByteArray("<too long>"));
        }
    }
    return out;
}

QList<QByteArray> byteByByte(const QByteArray &input)
{
    QList<QByteArray> chunks;
    for (char c : input)
        chunks.append(QByteArray(1, c));
    return chunks;
}

} // namespace

class tst_PopProtocol : public QObject
{
    Q_OBJECT

private slots:
    void buffer_data();
    void buffer();
    void bufferOverlongLine();
    void bufferHeldInputLimit();
    void stuffing_data();
    void stuffing();
    void messageWithTerminator_data();
    void messageWithTerminator();
    void stuffingLargeText();
    void commandLine_data();
    void commandLine();
    void number_data();
    void number();
    void userName_data();
    void userName();
};

void tst_PopProtocol::buffer_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<Lines>("lines");
    QTest::newRow("one command") << QByteArray("STAT\r\n") << Lines{"STAT"};
    QTest::newRow("pipelined") << QByteArray("STAT\r\nLIST\r\n") << Lines{"STAT", "LIST"};
    QTest::newRow("incomplete tail kept") << QByteArray("STAT\r\nLI") << Lines{"STAT"};
    QTest::newRow("empty line") << QByteArray("\r\nNOOP\r\n") << Lines{"", "NOOP"};
    QTest::newRow("bare LF is not a line end") << QByteArray("NO\nOP\r\n") << Lines{"NO\nOP"};
    QTest::newRow("bare CR is not a line end") << QByteArray("NO\rOP\r\n") << Lines{"NO\rOP"};
    QTest::newRow("CR CR LF") << QByteArray("QUIT\r\r\n") << Lines{"QUIT\r"};
    QTest::newRow("8-bit and NUL bytes") << QByteArray("PASS \xff\x00\xe9\r\n", 10)
                                         << Lines{QByteArray("PASS \xff\x00\xe9", 8)};
}

// Every case in one piece and a byte at a time: a CRLF split over two reads
// must still end the line.
void tst_PopProtocol::buffer()
{
    QFETCH(QByteArray, input);
    QFETCH(Lines, lines);
    QCOMPARE(feed({input}), lines);
    QCOMPARE(feed(byteByByte(input)), lines);
}

void tst_PopProtocol::bufferOverlongLine()
{
    const QByteArray longLine(PopBuffer::MaxCommandLineBytes, 'x');
    // Reaching the limit without CRLF is reported once; the rest of that
    // line is dropped up to its CRLF and the dialogue goes on.
    QCOMPARE(feed({longLine, "yyyy", "zz\r", "\nNOOP\r\n"}), (Lines{"<too long>", "NOOP"}));
    // The same with the tail arriving byte by byte.
    QList<QByteArray> chunks{longLine};
    chunks += byteByByte("tail\r\nSTAT\r\n");
    QCOMPARE(feed(chunks), (Lines{"<too long>", "STAT"}));
    // An overlong line that arrives whole with its CRLF.
    QCOMPARE(feed({longLine + "\r\nNOOP\r\n"}), (Lines{"<too long>", "NOOP"}));
    // One byte below the limit is still a command line.
    const QByteArray longest(PopBuffer::MaxCommandLineBytes - 1, 'y');
    QCOMPARE(feed({longest + "\r\n"}), Lines{longest});

    // A line far above the held-input limit, in pieces of any size, is
    // refused like any overlong line and holds no more than the limit.
    const QByteArray huge(3 * PopBuffer::MaxHeldInputBytes, 'h');
    QCOMPARE(feed({huge + "\r\nNOOP\r\n"}), (Lines{"<too long>", "NOOP"}));
    QCOMPARE(feed({"STAT\r\n" + huge + "\r", "\nLIST\r\n"}), (Lines{"STAT", "<too long>", "LIST"}));
    QCOMPARE(feed({"NOOP\r\n" + huge, huge, "\r\nQUIT\r\n"}), (Lines{"NOOP", "<too long>", "QUIT"}));
    PopBuffer buffer;
    QVERIFY(buffer.append("STAT\r\n" + huge + "\r\n" + huge + "\r\nQUIT\r\n"));
    QVERIFY(buffer.heldBytes() <= 2 * PopBuffer::MaxCommandLineBytes + 20);
}

void tst_PopProtocol::bufferHeldInputLimit()
{
    PopBuffer buffer;
    const QByteArray commands = QByteArray("NOOP\r\n").repeated(1000);
    qsizetype held = 0;
    while (held + commands.size() <= PopBuffer::MaxHeldInputBytes) {
        QVERIFY(buffer.append(commands));
        held += commands.size();
    }
    QVERIFY(!buffer.append(commands));
    QCOMPARE(buffer.heldBytes(), held);
    // What was accepted is still there, line by line.
    QByteArray line;
    QCOMPARE(buffer.takeNext(&line), PopBuffer::Next::Line);
    QCOMPARE(line, QByteArray("NOOP"));
    buffer.clear();
    QVERIFY(buffer.isEmpty());
    QVERIFY(buffer.append(commands));
}

void tst_PopProtocol::stuffing_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QByteArray>("stuffed");
    QTest::newRow("one-line reply") << QByteArray("+OK 2 200") << QByteArray("+OK 2 200");
    QTest::newRow("error") << QByteArray("-ERR no such message") << QByteArray("-ERR no such message");
    QTest::newRow("empty listing") << QByteArray("+OK 0 0\r\n.") << QByteArray("+OK 0 0\r\n.");
    QTest::newRow("plain data") << QByteArray("+OK\r\nA: b\r\n\r\nbody\r\n.")
                                << QByteArray("+OK\r\nA: b\r\n\r\nbody\r\n.");
    QTest::newRow("lone dot line") << QByteArray("+OK 9\r\nA\r\n.\r\nB\r\n.")
                                   << QByteArray("+OK 9\r\nA\r\n..\r\nB\r\n.");
    QTest::newRow("dots kept in the middle of lines")
        << QByteArray("+OK\r\na.b\r\nc..\r\n.") << QByteArray("+OK\r\na.b\r\nc..\r\n.");
    QTest::newRow("first data line") << QByteArray("+OK\r\n.x\r\n.") << QByteArray("+OK\r\n..x\r\n.");
    QTest::newRow("double dot and dot-x")
        << QByteArray("+OK\r\n..\r\n.x\r\n.\r\n.") << QByteArray("+OK\r\n...\r\n..x\r\n..\r\n.");
    QTest::newRow("status line left alone") << QByteArray(".OK\r\nx\r\n.") << QByteArray(".OK\r\nx\r\n.");
    QTest::newRow("dot after bare LF is mid-line")
        << QByteArray("+OK\r\na\n.b\r\n.") << QByteArray("+OK\r\na\n.b\r\n.");
    QTest::newRow("last line before terminator")
        << QByteArray("+OK\r\nx\r\n.\r\n.") << QByteArray("+OK\r\nx\r\n..\r\n.");
}

void tst_PopProtocol::stuffing()
{
    QFETCH(QByteArray, reply);
    QFETCH(QByteArray, stuffed);
    const QByteArray original(reply.constData(), reply.size()); // not shared with reply
    QCOMPARE(DotStuffing::StuffMultiLineReply(reply), stuffed);
    QCOMPARE(DotStuffing::WireReply(reply), stuffed + "\r\n");
    // A reply the caller keeps is left as it was; one handed over is stuffed
    // in its own buffer.
    QCOMPARE(reply, original);
    QByteArray handedOver(reply.constData(), reply.size());
    QCOMPARE(DotStuffing::WireReply(std::move(handedOver)), stuffed + "\r\n");
}

void tst_PopProtocol::messageWithTerminator_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("wire");
    QTest::newRow("ends with CRLF") << QByteArray("A: b\r\n\r\nx\r\n") << QByteArray("A: b\r\n\r\nx\r\n.\r\n");
    QTest::newRow("no final CRLF") << QByteArray("A: b\r\n\r\nx") << QByteArray("A: b\r\n\r\nx\r\n.\r\n");
    QTest::newRow("first line dot") << QByteArray(".A\r\n") << QByteArray("..A\r\n.\r\n");
    QTest::newRow("dot lines") << QByteArray("a\r\n.\r\n..\r\n.x\r\n") << QByteArray("a\r\n..\r\n...\r\n..x\r\n.\r\n");
    QTest::newRow("ends in a lone dot") << QByteArray("a\r\n.") << QByteArray("a\r\n..\r\n.\r\n");
    QTest::newRow("empty") << QByteArray() << QByteArray("\r\n.\r\n");
    QTest::newRow("CR and LF apart, dots after")
        << QByteArray("x\r\n.\r\r\n.y\r\n\r.\n.\r\n..") << QByteArray("x\r\n..\r\r\n..y\r\n\r.\n.\r\n...\r\n.\r\n");
    QTest::newRow("dots first, in a row and last")
        << QByteArray(".a\r\n.\r\n.\r\nb\r\n.c") << QByteArray("..a\r\n..\r\n..\r\nb\r\n..c\r\n.\r\n");
}

void tst_PopProtocol::messageWithTerminator()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, wire);
    const QByteArray original(text.constData(), text.size());
    QCOMPARE(DotStuffing::MessageWithTerminator(text), wire);
    QCOMPARE(DotStuffing::StuffDataLines(text) + (text.endsWith("\r\n") ? "" : "\r\n") + ".\r\n", wire);
    QCOMPARE(text, original);
    QByteArray handedOver(text.constData(), text.size());
    QCOMPARE(DotStuffing::MessageWithTerminator(std::move(handedOver)), wire);

    // The same text arriving in pieces, however it is cut, gives the same
    // bytes: a line end may straddle two pieces.
    for (const qsizetype cut : {1, 2, 3, 7}) {
        StuffedStream stream;
        QByteArray out;
        qsizetype at = 0;
        for (; at + cut < text.size(); at += cut)
            out += stream.stuff(text.mid(at, cut));
        out += stream.finish(text.mid(at));
        QCOMPARE(out, wire);
    }
}

// A megabyte of nothing but dot lines: every line doubled, nothing lost.
void tst_PopProtocol::stuffingLargeText()
{
    const QByteArray lines = QByteArray(".\r\n").repeated(400000);
    const QByteArray wire = DotStuffing::MessageWithTerminator(lines);
    QCOMPARE(wire.size(), lines.size() + 400000 + 3);
    QVERIFY(wire.startsWith("..\r\n..\r\n"));
    QVERIFY(wire.endsWith("..\r\n.\r\n"));
    QCOMPARE(wire.count("\r\n.\r\n"), 1);
}

void tst_PopProtocol::commandLine_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<QByteArray>("argumentText");
    QTest::addColumn<Lines>("arguments");
    QTest::newRow("QUIT") << QByteArray("QUIT") << true << QByteArray("QUIT") << QByteArray() << Lines{};
    QTest::newRow("lower case") << QByteArray("stat") << true << QByteArray("STAT") << QByteArray() << Lines{};
    QTest::newRow("too short") << QByteArray("TOP") << false << QByteArray() << QByteArray() << Lines{};
    QTest::newRow("empty") << QByteArray() << false << QByteArray() << QByteArray() << Lines{};
    QTest::newRow("TOP keeps its blank") << QByteArray("top 1 10") << true << QByteArray("TOP ") << QByteArray("1 10")
                                         << Lines{"1", "10"};
    QTest::newRow("blanks around and between")
        << QByteArray("LIST   3  ") << true << QByteArray("LIST") << QByteArray("3") << Lines{"3"};
    QTest::newRow("runs of blanks") << QByteArray("TOP 1   5") << true << QByteArray("TOP ") << QByteArray("1   5")
                                    << Lines{"1", "5"};
    QTest::newRow("user with blank") << QByteArray("USER Jo Doe") << true << QByteArray("USER") << QByteArray("Jo Doe")
                                     << Lines{"Jo", "Doe"};
    QTest::newRow("tabs are blanks, CR is not")
        << QByteArray("RETR\t2\t\r") << true << QByteArray("RETR") << QByteArray("2\t\r") << Lines{"2", "\r"};
    QTest::newRow("longer word") << QByteArray("STATS") << true << QByteArray("STAT") << QByteArray("S") << Lines{"S"};
}

void tst_PopProtocol::commandLine()
{
    QFETCH(QByteArray, line);
    QFETCH(bool, valid);
    const auto parsed = PopCommandLine::parse(line);
    QCOMPARE(parsed.has_value(), valid);
    if (!valid)
        return;
    QTEST(parsed->command, "command");
    QTEST(parsed->argumentText, "argumentText");
    QTEST(parsed->arguments, "arguments");
}

void tst_PopProtocol::number_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<PopNumber::Kind>("kind");
    QTest::addColumn<int>("value");
    using K = PopNumber::Kind;
    QTest::newRow("absent is 0") << QByteArray() << K::Valid << 0;
    QTest::newRow("zero") << QByteArray("0") << K::Valid << 0;
    QTest::newRow("plain") << QByteArray("17") << K::Valid << 17;
    QTest::newRow("leading zeros") << QByteArray("0000000000000000042") << K::Valid << 42;
    QTest::newRow("plus sign") << QByteArray("+3") << K::Valid << 3;
    QTest::newRow("largest") << QByteArray("2147483647") << K::Valid << 2147483647;
    QTest::newRow("one beyond") << QByteArray("2147483648") << K::OutOfRange << 0;
    QTest::newRow("far beyond") << QByteArray("99999999999999999999999999") << K::OutOfRange << 0;
    QTest::newRow("negative") << QByteArray("-1") << K::Negative << -1;
    QTest::newRow("lowest") << QByteArray("-2147483648") << K::Negative << int(-2147483647 - 1);
    QTest::newRow("negative huge") << QByteArray("-99999999999999999999") << K::Negative << int(-2147483647 - 1);
    QTest::newRow("minus zero") << QByteArray("-0") << K::Valid << 0;
    QTest::newRow("word") << QByteArray("abc") << K::NotNumeric << 0;
    QTest::newRow("sign only") << QByteArray("-") << K::NotNumeric << 0;
    QTest::newRow("digits then letters") << QByteArray("12a") << K::NotNumeric << 0;
    QTest::newRow("hex") << QByteArray("0x10") << K::NotNumeric << 0;
    QTest::newRow("exponent") << QByteArray("1e3") << K::NotNumeric << 0;
    QTest::newRow("decimal point") << QByteArray("1.0") << K::NotNumeric << 0;
    QTest::newRow("pipelined rest") << QByteArray("\r\nLIST") << K::NotNumeric << 0;
}

void tst_PopProtocol::number()
{
    QFETCH(QByteArray, text);
    const PopNumber n = PopNumber::parse(text);
    QTEST(n.kind, "kind");
    QTEST(n.value, "value");
}

void tst_PopProtocol::userName_data()
{
    QTest::addColumn<QByteArray>("argument");
    QTest::addColumn<QString>("normalised");
    QTest::newRow("bare name") << QByteArray("Demo") << QStringLiteral("demo@zorvane.test");
    QTest::newRow("address") << QByteArray("Bob@Example.ORG") << QStringLiteral("bob@example.org");
    QTest::newRow("hash and slash") << QByteArray("Jane.Doe#Hotmail.com/inbox/x")
                                    << QStringLiteral("jane.doe@hotmail.com");
    QTest::newRow("slash on a bare name") << QByteArray("Demo/extra") << QStringLiteral("demo@zorvane.test");
    QTest::newRow("empty") << QByteArray() << QStringLiteral("@zorvane.test");
    QTest::newRow("utf-8") << QByteArray("J\xc3\x9cRGEN") << QStringLiteral("j\u00fcrgen@zorvane.test");
}

void tst_PopProtocol::userName()
{
    QFETCH(QByteArray, argument);
    QTEST(PopUserName::Normalise(argument, QStringLiteral("zorvane.test")), "normalised");
}

QTEST_APPLESS_MAIN(tst_PopProtocol)
#include "tst_PopProtocol.moc"
