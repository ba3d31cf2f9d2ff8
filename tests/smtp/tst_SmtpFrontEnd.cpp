// The SMTP dialogue over loopback against the reference service: replies of
// every state, the sender's login, submissions as they land in the Maildir,
// the limits, the local-only rule.
#include "SmtpTestRig.h"

#include <QTcpServer>

namespace {

const QString Demo = QStringLiteral("demo@zorvane.test");
const QString Ann = QStringLiteral("ann@zorvane.test");

using Script = QList<QPair<QByteArray, QByteArray>>; // C: text, S: reply lines

// A message as a client would have it, and the same on the wire with its
// lines stuffed and the end marker.
const QByteArray Message = "From: demo@zorvane.test\r\nTo: ann@zorvane.test\r\nSubject: dots\r\n\r\n"
                           ".\r\n..\r\n.x\r\nplain \xe4\xf6 8-bit\r\n\r\n";
const QByteArray Wire = "From: demo@zorvane.test\r\nTo: ann@zorvane.test\r\nSubject: dots\r\n\r\n"
                        "..\r\n...\r\n..x\r\nplain \xe4\xf6 8-bit\r\n\r\n.\r\n";

} // namespace

class tst_SmtpFrontEnd : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void commandReplies_data();
    void commandReplies();
    void messagesLandExactlyAndOnceInSentItems_data();
    void messagesLandExactlyAndOnceInSentItems();
    void resetDropsTheEnvelope();
    void senderSpellingReachesTheService();
    void unreachableServiceAtHelo();
    void largeMessageInSmallSegments();
    void commandAfterEndMarkerAndNextClient();
    void emptyMessage();
    void injectedEnvelopeLinesNeverReachTheService();
    void messageTextInTheDataPacket();
    void inputLimits();
    void localhostOnlyRule();
    void idleClientMidDataIsClosedUnsent();
    void clientLeavingFreesThePortAtOnce_data();
    void clientLeavingFreesThePortAtOnce();
    void noopWithinTheLimitKeepsTheClient();

private:
    // Connects, reads the greeting, greets with HELO.
    void openDialogue(LineClient &client);
    // MAIL from Demo and RCPT to Ann.
    void openEnvelope(LineClient &client);
    // MAIL, RCPT, DATA and the text; returns the reply to the text.
    QByteArray submit(LineClient &client, const QByteArray &wire, const QString &to = Ann);

    QTemporaryDir m_root;
    std::unique_ptr<ServiceProcess> m_service;
    std::unique_ptr<QTemporaryDir> m_testDir;
    std::unique_ptr<TestAgent> m_agent;
};

void tst_SmtpFrontEnd::initTestCase()
{
    QVERIFY(m_root.isValid());
    for (const char *name : {"XDG_CONFIG_HOME", "XDG_RUNTIME_DIR", "TMPDIR"}) {
        const QString dir = m_root.filePath(QString::fromLatin1(name));
        QVERIFY(QDir().mkpath(dir));
        qputenv(name, dir.toUtf8());
    }
    QFile::setPermissions(m_root.filePath(QStringLiteral("XDG_RUNTIME_DIR")),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    m_service = std::make_unique<ServiceProcess>(m_root.filePath(QStringLiteral("service")));
    QVERIFY(m_service->addAccount(Demo, QStringLiteral("demo")));
    QVERIFY(m_service->addAccount(Ann, QStringLiteral("annpw")));
    QVERIFY2(m_service->start(), qPrintable(m_service->problem()));
}

void tst_SmtpFrontEnd::init()
{
    m_testDir = std::make_unique<QTemporaryDir>(m_root.filePath(QStringLiteral("test-XXXXXX")));
    m_agent = std::make_unique<TestAgent>(m_testDir->filePath(QStringLiteral("Zorvane.ini")), m_service->serviceUrl(),
                                          m_service->altServiceUrl());
    m_agent->storePassword(Demo, "demo");
    QCOMPARE(m_agent->wskSmtp.State(), int(Winsock::sckListening));
}

void tst_SmtpFrontEnd::cleanup()
{
    m_agent.reset();
    m_testDir.reset();
}

void tst_SmtpFrontEnd::openDialogue(LineClient &client)
{
    QVERIFY(client.connectTo(m_agent->wskSmtp.LocalPort()));
    QCOMPARE(client.readLine(), QByteArray("220 Zorvane Simple Mail Transfer Service Ready\r\n"));
    QCOMPARE(client.exchange("HELO tester\r\n"), QByteArray("250 Zorvane\r\n"));
}

void tst_SmtpFrontEnd::openEnvelope(LineClient &client)
{
    QCOMPARE(client.exchange("MAIL FROM:<demo@zorvane.test>\r\n"), QByteArray("250 OK\r\n"));
    QCOMPARE(client.exchange("RCPT TO:<ann@zorvane.test>\r\n"), QByteArray("250 OK\r\n"));
}

QByteArray tst_SmtpFrontEnd::submit(LineClient &client, const QByteArray &wire, const QString &to)
{
    if (client.exchange("MAIL FROM:<demo@zorvane.test>\r\n") != "250 OK\r\n")
        return "MAIL refused";
    if (client.exchange("RCPT TO:<" + to.toUtf8() + ">\r\n") != "250 OK\r\n")
        return "RCPT refused";
    if (client.exchange("DATA\r\n") != "354 Start mail input; end with <CRLF>.<CRLF>\r\n")
        return "DATA refused";
    return client.exchange(wire);
}

void tst_SmtpFrontEnd::commandReplies_data()
{
    QTest::addColumn<Script>("script");
    QTest::newRow("greeting, EHLO refused in both states, QUIT")
        << Script{{"EHLO tester\r\n", "502 Command not implemented\r\n"},
                  {"HELO tester\r\n", "250 Zorvane\r\n"},
                  {"EHLO tester\r\n", "502 Command not implemented\r\n"},
                  {"noop\r\n", "250 OK\r\n"},
                  {"RSET\r\n", "250 OK\r\n"},
                  {"HELO again\r\n", "250 Zorvane\r\n"},
                  {"QUIT\r\n", "221 Zorvane bye.\r\n\r\n"}};
    // The replies of every state are scripted against a scripted session;
    // here they go over the wire and into the log file.
    QTest::newRow("envelope before HELO, refused") << Script{
        {"MAIL FROM:<demo@zorvane.test>\r\n", "500 Unrecognized command\r\n"},
        {"HELO tester\r\n", "250 Zorvane\r\n"},
        {"RCPT TO:<ann@zorvane.test>\n\nSubject: injected\r\n", "501 Syntax error in parameters or arguments\r\n"},
        {"QUIT\r\n", "221 Zorvane bye.\r\n\r\n"}};
}

void tst_SmtpFrontEnd::commandReplies()
{
    QFETCH(Script, script);
    m_agent->state.StartFileLog(true, m_testDir->path());
    QVERIFY(m_agent->state.LogToFile);
    LineClient client;
    QVERIFY(client.connectTo(m_agent->wskSmtp.LocalPort()));
    QCOMPARE(client.readLine(), QByteArray("220 Zorvane Simple Mail Transfer Service Ready\r\n"));
    for (const auto &[sent, expected] : script) {
        QByteArray reply = client.exchange(sent);
        while (reply.size() < expected.size() && reply.endsWith("\r\n"))
            reply += client.readLine();
        QCOMPARE(reply, expected);
    }
    // Traffic goes to the log file in both directions, the greeting excepted.
    QFile log(m_agent->state.ActivityLog->filePath());
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QByteArray logged = log.readAll();
    QVERIFY(!logged.contains("SMTP< 220"));
    for (const auto &[sent, expected] : script) {
        QVERIFY2(logged.contains("SMTP> " + sent.trimmed()), sent.constData());
        QVERIFY2(logged.contains("SMTP< " + expected.trimmed()), expected.constData());
    }
    if (script.last().first == "QUIT\r\n") {
        QVERIFY(client.waitForClose());
        QTRY_COMPARE(m_agent->wskSmtp.State(), int(Winsock::sckListening));
        QCOMPARE(m_agent->smtp->DialogueState(), 0);
    }
}

void tst_SmtpFrontEnd::messagesLandExactlyAndOnceInSentItems_data()
{
    QTest::addColumn<bool>("saveSent");
    QTest::newRow("save sent messages") << true;
    QTest::newRow("do not save sent messages") << false;
}

void tst_SmtpFrontEnd::messagesLandExactlyAndOnceInSentItems()
{
    QFETCH(bool, saveSent);
    m_agent->options.saveSentItems = saveSent;
    const qsizetype inboxBefore = m_service->messages(Ann).size();
    const qsizetype copiesBefore = m_service->messages(Ann).count(Message);
    const qsizetype sentBefore = m_service->messages(Demo, QStringLiteral(".Sent Items")).size();

    QStringList tips;
    QObject::connect(&m_agent->state.TrayData, &TrayStatus::changed, &m_agent->state,
                     [&](TrayStatus::Icon, const QString &tip) { tips.append(tip); });
    LineClient client;
    openDialogue(client);
    QCOMPARE(submit(client, Wire), QByteArray("250 OK\r\n"));
    QCOMPARE(m_agent->smtp->DialogueState(), 1);
    // Each command shows "Sending" and then what it leaves: "Receiving" from
    // DATA to the end of the text, "Idle" otherwise.
    const QStringList sending = {TrayStatus::Sending, TrayStatus::Idle};
    const QStringList data = {TrayStatus::Sending, TrayStatus::Receiving};
    QCOMPARE(tips, sending + sending + sending + data + sending);
    QCOMPARE(submit(client, Wire), QByteArray("250 OK\r\n"));
    QCOMPARE(m_agent->screen.count(QStringLiteral("SMTP-Logged in.")), 1);

    const QList<QByteArray> inbox = m_service->messages(Ann);
    QCOMPARE(inbox.size(), inboxBefore + 2);
    QCOMPARE(inbox.count(Message), copiesBefore + 2);
    const QList<QByteArray> sent = m_service->messages(Demo, QStringLiteral(".Sent Items"));
    QCOMPARE(sent.size(), sentBefore + (saveSent ? 2 : 0));
    if (saveSent)
        QCOMPARE(sent.last(), Message);
}

void tst_SmtpFrontEnd::resetDropsTheEnvelope()
{
    const qsizetype annBefore = m_service->messages(Ann).size();
    const qsizetype demoBefore = m_service->messages(Demo).size();
    LineClient client;
    openDialogue(client);
    QCOMPARE(client.exchange("MAIL FROM:<demo@zorvane.test>\r\n"), QByteArray("250 OK\r\n"));
    QCOMPARE(client.exchange("RCPT TO:<ann@zorvane.test>\r\n"), QByteArray("250 OK\r\n"));
    QCOMPARE(client.exchange("RSET\r\n"), QByteArray("250 OK\r\n"));
    QCOMPARE(submit(client, Wire, Demo), QByteArray("250 OK\r\n"));
    QCOMPARE(m_service->messages(Ann).size(), annBefore);
    QCOMPARE(m_service->messages(Demo).size(), demoBefore + 1);
    QCOMPARE(m_agent->screen.count(QStringLiteral("SMTP-Logged in.")), 1); // RSET kept the login
}

// The sender's spelling logs in with the account in lower case; the
// envelope carries the client's spelling without the blank, and the service
// takes it.
void tst_SmtpFrontEnd::senderSpellingReachesTheService()
{
    m_agent->storePassword(Demo, "demo");
    LineClient client;
    openDialogue(client);
    QCOMPARE(client.exchange("Mail From: <Demo@Zorvane.TEST>\r\n"), QByteArray("250 OK\r\n"));
    QCOMPARE(m_agent->smtp->LoggedInAccount(), Demo);
    QCOMPARE(m_agent->session->AccountOf(clsHotmail::FrontEnd::Smtp), Demo);
    const qsizetype before = m_service->messages(Demo).size();
    QCOMPARE(client.exchange("RCPT TO:<demo@zorvane.test>\r\n"), QByteArray("250 OK\r\n"));
    QCOMPARE(client.exchange("DATA\r\n").left(4), QByteArray("354 "));
    QCOMPARE(client.exchange(Wire), QByteArray("250 OK\r\n"));
    QCOMPARE(m_service->messages(Demo).size(), before + 1);
}

void tst_SmtpFrontEnd::unreachableServiceAtHelo()
{
    QTcpServer closed;
    QVERIFY(closed.listen(QHostAddress::LocalHost));
    const QString nowhere = QStringLiteral("http://127.0.0.1:%1/").arg(closed.serverPort());
    closed.close();
    m_agent.reset();
    m_agent = std::make_unique<TestAgent>(m_testDir->filePath(QStringLiteral("Nowhere.ini")), nowhere, nowhere);

    LineClient client;
    QVERIFY(client.connectTo(m_agent->wskSmtp.LocalPort()));
    QVERIFY(!client.readLine().isEmpty());
    QCOMPARE(client.exchange("HELO tester\r\n"), QByteArray("550 Requested action not taken: mailbox unavailable\r\n"));
    QCOMPARE(m_agent->boxes.size(), 1);
    QVERIFY2(m_agent->boxes.first().startsWith(QStringLiteral("Zorvane - System Problem: ")),
             qPrintable(m_agent->boxes.first()));
    QVERIFY(m_agent->boxes.first().size()
            > QStringLiteral("Zorvane - System Problem: \r\n\r\nExit and run diagnostics for more information").size());
    QVERIFY(m_agent->screen.contains(QStringLiteral("SMTP-ERR: Unable to connect to Hotmail server.")));
    QCOMPARE(client.exchange("MAIL FROM:<demo@zorvane.test>\r\n"), QByteArray("500 Unrecognized command\r\n"));
}

void tst_SmtpFrontEnd::largeMessageInSmallSegments()
{
    QByteArray message = "Subject: large\r\n\r\n";
    for (int line = 0; message.size() < 10 * 1024 * 1024; ++line)
        message += (line % 50 == 0 ? "." : "") + QByteArray::number(line).repeated(9) + "\r\n";
    QByteArray wire = message;
    wire.replace("\r\n.", "\r\n..");
    wire += ".\r\n";

    LineClient client;
    openDialogue(client);
    QCOMPARE(client.exchange("MAIL FROM:<demo@zorvane.test>\r\n"), QByteArray("250 OK\r\n"));
    QCOMPARE(client.exchange("RCPT TO:<ann@zorvane.test>\r\n"), QByteArray("250 OK\r\n"));
    QCOMPARE(client.exchange("DATA\r\n").left(4), QByteArray("354 "));
    client.sendInPieces(wire, 1460);
    QCOMPARE(client.readLine(), QByteArray("250 OK\r\n"));
    QVERIFY(m_agent->screen.count(QStringLiteral("  ... receiving")) > 1);
    QVERIFY(m_service->messages(Ann).contains(message));
}

void tst_SmtpFrontEnd::commandAfterEndMarkerAndNextClient()
{
    LineClient client;
    openDialogue(client);
    QCOMPARE(client.exchange("MAIL FROM:<demo@zorvane.test>\r\n"), QByteArray("250 OK\r\n"));
    QCOMPARE(client.exchange("RCPT TO:<ann@zorvane.test>\r\n"), QByteArray("250 OK\r\n"));
    QCOMPARE(client.exchange("DATA\r\n").left(4), QByteArray("354 "));
    const QByteArray message = "Subject: then quit\r\n\r\nbye\r\n";
    QCOMPARE(client.exchange(message + ".\r\nQUIT\r\n"), QByteArray("250 OK\r\n"));
    QCOMPARE(client.readLine(), QByteArray("221 Zorvane bye.\r\n"));
    QVERIFY(client.waitForClose());
    QVERIFY(m_service->messages(Ann).contains(message));

    LineClient next;
    openDialogue(next);
}

void tst_SmtpFrontEnd::emptyMessage()
{
    const qsizetype emptyBefore = m_service->messages(Ann).count(QByteArray());
    LineClient client;
    openDialogue(client);
    QCOMPARE(submit(client, ".\r\n"), QByteArray("250 OK\r\n"));
    QCOMPARE(m_service->messages(Ann).count(QByteArray()), emptyBefore + 1);
    QCOMPARE(m_agent->smtp->DialogueState(), 1);
    QCOMPARE(client.exchange("NOOP\r\n"), QByteArray("250 OK\r\n"));
}

// Line breaks inside an envelope command are refused, and the message that
// follows lands as the client wrote it, with nothing of the refused lines.
void tst_SmtpFrontEnd::injectedEnvelopeLinesNeverReachTheService()
{
    const qsizetype before = m_service->messages(Ann).size();
    LineClient client;
    openDialogue(client);
    QCOMPARE(client.exchange("MAIL FROM:<demo@zorvane.test>\r\n"), QByteArray("250 OK\r\n"));
    const QByteArray refused = "501 Syntax error in parameters or arguments\r\n";
    QCOMPARE(client.exchange("RCPT TO:<ann@zorvane.test>\n\nSubject: injected\r\n"), refused);
    QCOMPARE(client.exchange("RCPT TO:<ann@zorvane.test>\rSubject: injected\r\n"), refused);
    QCOMPARE(client.exchange(QByteArrayLiteral("RCPT TO:<ann\x00@zorvane.test>\r\n")), refused);
    // A blank before the line end is the client's own.
    QCOMPARE(client.exchange("RCPT TO:<ann@zorvane.test> \r\n"), QByteArray("250 OK\r\n"));
    QCOMPARE(client.exchange("DATA\r\n").left(4), QByteArray("354 "));
    QCOMPARE(client.exchange(Wire), QByteArray("250 OK\r\n"));
    const QList<QByteArray> inbox = m_service->messages(Ann);
    QCOMPARE(inbox.size(), before + 1);
    QVERIFY(inbox.contains(Message));
    for (const QByteArray &text : inbox)
        QVERIFY(!text.contains("injected"));
}

// A client that sends its message with DATA, not waiting for the 354.
void tst_SmtpFrontEnd::messageTextInTheDataPacket()
{
    LineClient client;
    openDialogue(client);
    openEnvelope(client);
    QCOMPARE(client.exchange("DATA\r\nSubject: x\r\n\r\nbody\r\n.\r\n").left(4), QByteArray("354 "));
    QCOMPARE(client.readLine(), QByteArray("250 OK\r\n"));
    QVERIFY(m_service->messages(Ann).contains("Subject: x\r\n\r\nbody\r\n"));
    // The empty message and the next command in the same packet.
    openEnvelope(client);
    const qsizetype emptyBefore = m_service->messages(Ann).count(QByteArray());
    QCOMPARE(client.exchange("DATA\r\n.\r\nNOOP\r\n").left(4), QByteArray("354 "));
    QCOMPARE(client.readLine(), QByteArray("250 OK\r\n"));
    QCOMPARE(client.readLine(), QByteArray("250 OK\r\n"));
    QCOMPARE(m_service->messages(Ann).count(QByteArray()), emptyBefore + 1);
    QCOMPARE(m_agent->smtp->DialogueState(), 1);
}

void tst_SmtpFrontEnd::inputLimits()
{
    const qsizetype before = m_service->messages(Ann).size();
    LineClient client;
    openDialogue(client);
    client.sendInPieces(QByteArray(70 * 1024, 'x'), 1460);
    // The rest of the refused line is dropped without a reply of its own.
    QCOMPARE(client.exchange("tail of the long line\r\n"), QByteArray("500 Line too long\r\n"));
    QCOMPARE(client.exchange("NOOP\r\n"), QByteArray("250 OK\r\n"));

    QCOMPARE(client.exchange("MAIL FROM:<demo@zorvane.test>\r\n"), QByteArray("250 OK\r\n"));
    QCOMPARE(client.exchange("RCPT TO:<ann@zorvane.test>\r\n"), QByteArray("250 OK\r\n"));
    QCOMPARE(client.exchange("DATA\r\n").left(4), QByteArray("354 "));
    const QByteArray line = QByteArray(998, 'y') + "\r\n";
    client.sendInPieces(line.repeated(64 * 1024 * 1024 / line.size() + 1) + ".\r\n", 64 * 1024);
    QCOMPARE(client.readLine(), QByteArray("552 Message size exceeds fixed maximum message size\r\n"));
    QCOMPARE(m_agent->smtp->DialogueState(), 1);
    QCOMPARE(client.exchange("NOOP\r\n"), QByteArray("250 OK\r\n"));
    QCOMPARE(m_service->messages(Ann).size(), before);
}

void tst_SmtpFrontEnd::localhostOnlyRule()
{
    const QHostAddress other(QStringLiteral("127.0.0.2"));
    LineClient rejected;
    QVERIFY(rejected.connectTo(m_agent->wskSmtp.LocalPort(), other));
    QTRY_VERIFY(m_agent->screen.contains(QStringLiteral("Connection request from 127.0.0.2(127.0.0.2) rejected.")));
    QVERIFY(rejected.waitForClose());
    QVERIFY(rejected.pending().isEmpty());

    m_agent->options.localhostOnly = false;
    LineClient accepted;
    QVERIFY(accepted.connectTo(m_agent->wskSmtp.LocalPort(), other));
    QCOMPARE(accepted.readLine(), QByteArray("220 Zorvane Simple Mail Transfer Service Ready\r\n"));
    QVERIFY(m_agent->screen.contains(QStringLiteral("Connection request from 127.0.0.2(127.0.0.2)\r\n")));
}

// A client that goes silent half-way through its message is told so and
// disconnected; the part it sent is never submitted, and the port serves
// the next client.
void tst_SmtpFrontEnd::idleClientMidDataIsClosedUnsent()
{
    QCOMPARE(m_agent->smtp->IdleTimeout(), SmtpFrontEnd::SmtpIdleTimeoutMs);
    const qsizetype inboxBefore = m_service->messages(Ann).size();
    const qsizetype sentBefore = m_service->messages(Demo, QStringLiteral(".Sent Items")).size();
    LineClient client;
    openDialogue(client);
    QCOMPARE(client.exchange("MAIL FROM:<demo@zorvane.test>\r\n"), QByteArray("250 OK\r\n"));
    QCOMPARE(client.exchange("RCPT TO:<ann@zorvane.test>\r\n"), QByteArray("250 OK\r\n"));
    QCOMPARE(client.exchange("DATA\r\n").left(4), QByteArray("354 "));
    m_agent->smtp->SetIdleTimeout(300);
    client.socket().write("Subject: half\r\n\r\nthe first half, then silence\r\n");
    QVERIFY(client.waitForClose());
    QCOMPARE(client.pending(), QByteArray("421 Zorvane idle for too long, closing connection\r\n"));
    QVERIFY2(m_agent->screen.contains(QStringLiteral("SMTP-Connection idle for 300 ms, closed.")),
             qPrintable(m_agent->screen));
    QCOMPARE(m_agent->wskSmtp.State(), int(Winsock::sckListening));
    QCOMPARE(m_agent->smtp->DialogueState(), 0);

    // The next client starts afresh: no envelope of the last one, and its
    // own message is the only one that lands.
    m_agent->smtp->SetIdleTimeout(0);
    QCOMPARE(m_agent->smtp->IdleTimeout(), SmtpFrontEnd::SmtpIdleTimeoutMs);
    LineClient next;
    QVERIFY(next.connectTo(m_agent->wskSmtp.LocalPort()));
    QCOMPARE(next.readLine(), QByteArray("220 Zorvane Simple Mail Transfer Service Ready\r\n"));
    QCOMPARE(next.exchange("DATA\r\n"), QByteArray("500 Unrecognized command\r\n"));
    QCOMPARE(next.exchange("HELO tester\r\n"), QByteArray("250 Zorvane\r\n"));
    QCOMPARE(submit(next, Wire), QByteArray("250 OK\r\n"));
    const QList<QByteArray> inbox = m_service->messages(Ann);
    QCOMPARE(inbox.size(), inboxBefore + 1);
    for (const QByteArray &text : inbox)
        QVERIFY(!text.contains("the first half"));
    QCOMPARE(m_service->messages(Demo, QStringLiteral(".Sent Items")).size(), sentBefore + 1);
}

void tst_SmtpFrontEnd::clientLeavingFreesThePortAtOnce_data()
{
    QTest::addColumn<QByteArrayList>("commands");
    QTest::addColumn<QByteArray>("partText");
    const QByteArrayList envelope{"MAIL FROM:<demo@zorvane.test>", "RCPT TO:<ann@zorvane.test>"};
    QTest::newRow("after HELO") << QByteArrayList{} << QByteArray();
    QTest::newRow("after the envelope") << envelope << QByteArray();
    QTest::newRow("in the middle of DATA")
        << envelope + QByteArrayList{"DATA"} << QByteArray("Subject: half\r\n\r\nthe first half\r\n.");
}

// A client that closes without QUIT leaves nothing to wait for: the port
// listens again without the watchdog (there is none here), nothing of the
// dialogue is submitted, and the next client starts afresh.
void tst_SmtpFrontEnd::clientLeavingFreesThePortAtOnce()
{
    QFETCH(QByteArrayList, commands);
    QFETCH(QByteArray, partText);
    m_agent.reset();
    m_agent = std::make_unique<TestAgent>(m_testDir->filePath(QStringLiteral("Zorvane.ini")), m_service->serviceUrl(),
                                          m_service->altServiceUrl(), TestAgent::listingAll(false, false),
                                          TestAgent::withoutWatchdog());
    m_agent->storePassword(Demo, "demo");
    QVERIFY(!m_agent->watchdog);
    const qsizetype inboxBefore = m_service->messages(Ann).size();
    {
        LineClient client;
        openDialogue(client);
        for (const QByteArray &command : commands)
            QVERIFY(!client.exchange(command + "\r\n").startsWith('5'));
        client.socket().write(partText);
        QVERIFY(client.socket().waitForBytesWritten(5000) || partText.isEmpty());
        client.abort();
    }
    QTRY_COMPARE_WITH_TIMEOUT(m_agent->wskSmtp.State(), int(Winsock::sckListening), 20000);
    QCOMPARE(m_agent->smtp->DialogueState(), 0);

    LineClient next;
    openDialogue(next);
    QCOMPARE(submit(next, Wire), QByteArray("250 OK\r\n"));
    const QList<QByteArray> inbox = m_service->messages(Ann);
    QCOMPARE(inbox.size(), inboxBefore + 1);
    for (const QByteArray &text : inbox)
        QVERIFY(!text.contains("the first half"));
}

// NOOPs sent well within the limit, for longer than the limit in all, keep
// the dialogue; once they stop, the limit applies again.
void tst_SmtpFrontEnd::noopWithinTheLimitKeepsTheClient()
{
    constexpr int IdleLimitMs = 1500;
    constexpr int NoopEveryMs = 150;
    constexpr int NoopCount = 15; // 2250 ms of dialogue in all
    LineClient client;
    openDialogue(client);
    m_agent->smtp->SetIdleTimeout(IdleLimitMs);
    int sent = 0;
    QTimer ticker;
    ticker.setInterval(NoopEveryMs);
    QObject::connect(&ticker, &QTimer::timeout, &client.socket(), [&] {
        client.socket().write("NOOP\r\n");
        if (++sent == NoopCount)
            ticker.stop();
    });
    ticker.start();
    QVERIFY(client.waitUntil([&] {
        return client.pending().count("250 OK\r\n") == NoopCount
            || client.socket().state() != QAbstractSocket::ConnectedState;
    }));
    QCOMPARE(client.pending().count("250 OK\r\n"), NoopCount);
    QCOMPARE(client.socket().state(), QAbstractSocket::ConnectedState);
    QVERIFY(!m_agent->screen.contains(QStringLiteral("SMTP-Connection idle")));

    QVERIFY(client.waitForClose());
    QVERIFY(client.pending().endsWith("421 Zorvane idle for too long, closing connection\r\n"));
    QVERIFY(m_agent->screen.contains(QStringLiteral("SMTP-Connection idle for 1500 ms, closed.")));
}

QTEST_MAIN(tst_SmtpFrontEnd)
#include "tst_SmtpFrontEnd.moc"
