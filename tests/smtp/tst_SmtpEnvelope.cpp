// The envelope lines of MAIL and RCPT, without a network: the line each
// command gives or the command refused whole, the bounds of the envelope
// against what the service takes, and credentials kept out of every log.
#include "EnvelopeLine.h"
#include "HttpServer.h"
#include "SmtpBuffer.h"
#include "SmtpDialogue.h"
#include "SubmissionEnvelope.h"
#include "modMain.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

// A dialogue past its HELO with no session behind it.
struct DialogueUnderTest
{
    DialogueUnderTest()
        : dialogue(state)
    {
        dialogue.setState(SmtpState::Envelope);
        QObject::connect(&state.Screen, &OnScreenLog::appended, &state,
                         [this](const QString &chunk, bool) { screen += chunk; });
    }
    modMain state;
    SmtpDialogue dialogue;
    QString screen;
};

} // namespace

class tst_SmtpEnvelope : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void envelopeLine_data();
    void envelopeLine();
    void largestSubmissionFitsTheService();
    void credentialsNeverReachALog();

private:
    QTemporaryDir m_root;
};

void tst_SmtpEnvelope::initTestCase()
{
    QVERIFY(m_root.isValid());
    for (const char *name : {"XDG_CONFIG_HOME", "XDG_RUNTIME_DIR", "TMPDIR"}) {
        QVERIFY(QDir().mkpath(m_root.filePath(QString::fromLatin1(name))));
        qputenv(name, m_root.filePath(QString::fromLatin1(name)).toUtf8());
    }
}

void tst_SmtpEnvelope::envelopeLine_data()
{
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("address");
    const auto row = [](const char *name, const QByteArray &command, const QByteArray &line, const char *address) {
        QTest::newRow(name) << command << true << line << QString::fromUtf8(address);
    };
    const auto refused = [](const char *name, const QByteArray &command) {
        QTest::newRow(name) << command << false << QByteArray() << QString();
    };
    row("plain", "MAIL FROM:<a@b.test>\r\n", "MAIL FROM:<a@b.test>\r\n", "a@b.test");
    row("blank after colon goes, spelling stays", "Mail From: <Ann@B.Test>\r\n", "Mail From:<Ann@B.Test>\r\n",
        "Ann@B.Test");
    row("blank before CR LF stays", "RCPT TO:<a@b.test> \r\n", "RCPT TO:<a@b.test> \r\n", "a@b.test");
    row("bare LF stays a bare LF", "RCPT TO:<a@b.test>\n", "RCPT TO:<a@b.test>\n", "a@b.test");
    row("no line end gets CR LF", "RCPT TO:<a@b.test>", "RCPT TO:<a@b.test>\r\n", "a@b.test");
    row("second colon ends the address", "MAIL FROM:<a@b.test> :x\r\n", "MAIL FROM:<a@b.test>\r\n", "a@b.test");
    row("empty path", "MAIL FROM:<>\r\n", "MAIL FROM:<>\r\n", "");
    row("no colon: as if it ended in one", "MAIL FROM ann\r\n", "MAIL FROM ann:\r\n", "");
    row("bare command", "RCPT\r\n", "RCPT:\r\n", "");
    row("8-bit bytes pass", "RCPT TO:<\xc3\xa4@b.test>\r\n", "RCPT TO:<\xc3\xa4@b.test>\r\n", "\xc3\xa4@b.test");
    refused("bare LF inside", "RCPT TO:<bob@b.test>\n\nSubject: injected\r\n");
    refused("CR inside", "RCPT TO:<bob@b.test>\rX: y\r\n");
    refused("second line", "MAIL FROM:<a@b.test>\r\nRCPT TO:<c@b.test>\r\n");
    refused("CR before the bare LF", "RCPT TO:<bob@b.test>\r\r\n");
    refused("NUL in the address", QByteArrayLiteral("RCPT TO:<bob\x00@b.test>\r\n"));
    refused("NUL before the colon", QByteArrayLiteral("RCPT\x00TO:<bob@b.test>\r\n"));
}

void tst_SmtpEnvelope::envelopeLine()
{
    QFETCH(QByteArray, command);
    QFETCH(bool, valid);
    QFETCH(QByteArray, line);
    QFETCH(QString, address);
    const EnvelopeLine parsed(command);
    QCOMPARE(parsed.IsValid(), valid);
    QCOMPARE(parsed.Line(), line);
    if (valid)
        QCOMPARE(parsed.AddressName(), address);
}

// The agent's largest message with its largest envelope goes to the service
// in one request, and the service takes every recipient the agent does.
void tst_SmtpEnvelope::largestSubmissionFitsTheService()
{
    QVERIFY(SmtpBuffer::MaxMessageBytes + SmtpDialogue::MaxEnvelopeBytes
            <= HttpServerLimits::DefaultMaxRequestBodyBytes);
    QVERIFY(HttpServerLimits().maxRequestBodyBytes == HttpServerLimits::DefaultMaxRequestBodyBytes);
    QVERIFY(SmtpDialogue::MaxEnvelopeBytes <= SubmissionEnvelope::MaxEnvelopeBytes);
    QVERIFY(SmtpDialogue::MaxRecipients <= SubmissionEnvelope::MaxRecipients);
    QVERIFY(SmtpDialogue::MaxRecipients >= 100);

    // The service reads such an envelope to its end.
    QByteArray body;
    for (int n = 0; n < SmtpDialogue::MaxRecipients; ++n)
        body += "RCPT TO:<r" + QByteArray::number(n) + "@b.test>\r\n";
    body.prepend("MAIL FROM:<a@b.test>\r\n");
    body += "\r\nSubject: x\r\n\r\nbody\r\n";
    SubmissionEnvelope envelope;
    QVERIFY2(envelope.parse(body), envelope.reason().constData());
    QCOMPARE(envelope.recipients().size(), SmtpDialogue::MaxRecipients);
}

void tst_SmtpEnvelope::credentialsNeverReachALog()
{
    DialogueUnderTest t;
    t.state.StartFileLog(true, m_root.path());
    QVERIFY(t.state.LogToFile);
    const QByteArray secret = "AHVzZXIAc2VjcmV0";
    QCOMPARE(t.dialogue.HandleSmtpCommand("AUTH PLAIN " + secret + "\r\n"), QByteArray("500 Unrecognized command\r\n"));
    QCOMPARE(t.dialogue.HandleSmtpCommand("auth login\r\ndXNlcg==\r\n" + secret + "\r\n"),
             QByteArray("500 Unrecognized command\r\n"));
    QCOMPARE(t.dialogue.HandleSmtpCommand("AUTH LOGIN\r\n"), QByteArray("500 Unrecognized command\r\n"));

    QFile log(t.state.ActivityLog->filePath());
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QByteArray logged = log.readAll();
    for (const QByteArray &text : {logged, t.screen.toUtf8()}) {
        QVERIFY2(!text.contains(secret) && !text.contains("dXNlcg=="), text.constData());
        QVERIFY(text.contains("AUTH PLAIN ********\r\n"));
        QVERIFY(text.contains("auth login ********\r\n"));
        QVERIFY(text.contains("AUTH LOGIN\r\n"));
    }
    QVERIFY(logged.contains("SMTP> AUTH PLAIN ********"));

    // The message text is logged as it came, whatever its first word.
    t.dialogue.setState(SmtpState::MessageText);
    t.dialogue.HandleSmtpCommand("AUTH is a word in this message\r\n.\r\n");
    log.seek(0);
    QVERIFY(log.readAll().contains("SMTP> AUTH is a word in this message"));
}

QTEST_GUILESS_MAIN(tst_SmtpEnvelope)
#include "tst_SmtpEnvelope.moc"
