// The headless Zorvane program against the real zorvane-service, which
// crashes (SIGKILL) and comes back on the same port in the middle of a
// dialogue: at USER, PASS, the first mailbox command, RETR, QUIT after DELE,
// in the middle of a large download and at the end of a message text. After
// each the agent serves the next client, the Maildir shows no message read
// or moved unless a QUIT ran its update phase, and every message the agent
// accepted is stored exactly once.

#include "AgentProcess.h"
#include "AnswerLosingProxy.h"
#include "LineClient.h"
#include "MailTexts.h"
#include "ServiceProcess.h"

#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

using MailTexts::statReply;
using MailTexts::stuffedForData;

const QByteArray Account = "user@zorvane.test";
const QByteArray Password = "secret";

const QByteArray SmallMessage = "From: Ann <ann@example.org>\r\nTo: user@zorvane.test\r\nSubject: small\r\n"
                                "Message-ID: <small@example.org>\r\n\r\nfirst line\r\n.\r\n..two dots\r\nlast line\r\n";
const QByteArray LargeMessage = MailTexts::messageOfSize(60000, "large", ".\r\n");
// Big enough that its transfer cannot be over before the service is stopped.
constexpr qsizetype HugeMessageBytes = 64LL * 1024 * 1024;

qsizetype occurrences(const QList<QByteArray> &texts, const QByteArray &needle)
{
    qsizetype count = 0;
    for (const QByteArray &text : texts)
        count += text.count(needle);
    return count;
}

QByteArray outgoing(const QByteArray &id)
{
    return "From: user@zorvane.test\r\nTo: user@zorvane.test, ann@example.org\r\nSubject: outgoing\r\nMessage-ID: <"
        + id + "@example.org>\r\n\r\nHello.\r\n.A line with a dot\r\nBye.\r\n";
}

} // namespace

class tst_ServiceRestart : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void serviceCrashesMidDialogue_data();
    void serviceCrashesMidDialogue();
    void serviceStopsInTheMiddleOfALargeDownload();
    void clientDropsMidRetrieve();
    void clientDropsAfterDeleBeforeQuit();
    void serviceCrashesAtTheEndOfAMessageText();
    void clientDropsMidData();
    void submissionWhoseAnswerIsLostIsStoredOnce();

private:
    void startAgent(quint16 servicePort = 0);
    void expectInboxUntouched();
    void agentServesNextClient();
    void submit(const QByteArray &message, bool crashServiceAtEnd, QByteArray *reply);

    std::unique_ptr<QTemporaryDir> m_root;
    std::unique_ptr<ServiceProcess> m_service;
    std::unique_ptr<AgentProcess> m_agent;
    QList<QByteArray> m_inbox;
};

void tst_ServiceRestart::init()
{
    m_root = std::make_unique<QTemporaryDir>();
    QVERIFY(m_root->isValid());
    m_service = std::make_unique<ServiceProcess>(m_root->filePath(QStringLiteral("service")));
    QVERIFY(m_service->addAccount(Account, Password));
    m_inbox = {SmallMessage, LargeMessage};
    for (const QByteArray &message : m_inbox)
        QVERIFY(!m_service->deliver(Account, message).isEmpty());
    QVERIFY2(m_service->start(), qPrintable(m_service->problem()));
    startAgent();
}

void tst_ServiceRestart::cleanup()
{
    m_agent.reset();
    m_service.reset();
    m_root.reset();
}

// The agent reaches the service at servicePort: the service's own, or a
// relay's in front of it.
void tst_ServiceRestart::startAgent(quint16 servicePort)
{
    const auto at = [servicePort](const QString &address) {
        QUrl url(address);
        if (servicePort != 0)
            url.setPort(servicePort);
        return url.toString();
    };
    m_agent = std::make_unique<AgentProcess>(m_root->path());
    m_agent->writeSettings(at(m_service->serviceUrl()), at(m_service->altServiceUrl()),
                           "MarkReadOnServer=1\nDeleteOnServer=1\nListUnreadOnly=0\nSaveSentItems=1\n");
    QVERIFY2(m_agent->start(), m_agent->standardError().constData());
}

// Nothing read, nothing moved: every delivered message still in new/.
void tst_ServiceRestart::expectInboxUntouched()
{
    QCOMPARE(m_service->files(Account, QStringLiteral("new")).size(), m_inbox.size());
    QVERIFY(m_service->files(Account, QStringLiteral("cur")).isEmpty());
    QVERIFY(m_service->files(Account, QStringLiteral(".Deleted Items/cur")).isEmpty());
    QVERIFY(m_service->files(Account, QStringLiteral(".Deleted Items/new")).isEmpty());
}

void tst_ServiceRestart::agentServesNextClient()
{
    LineClient client;
    client.logInPop(m_agent->pop3Port(), Password);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(client.command("STAT"), statReply(m_inbox));
    for (int n = 1; n <= m_inbox.size(); ++n) {
        client.send("RETR " + QByteArray::number(n) + "\r\n");
        const auto [status, data] = MailTexts::splitStatus(client.readMultiLine());
        QCOMPARE(status, "+OK " + QByteArray::number(m_inbox.at(n - 1).size()) + "\r\n");
        const auto [text, terminated] = MailTexts::unstuffData(data);
        QVERIFY(terminated);
        QCOMPARE(text, m_inbox.at(n - 1));
    }
    QCOMPARE(client.command("QUIT"), QByteArray("+OK\r\n"));
    QVERIFY(client.waitForClose());
}

void tst_ServiceRestart::serviceCrashesMidDialogue_data()
{
    QTest::addColumn<QByteArrayList>("before");
    QTest::addColumn<QByteArray>("command");  // sent while the service is down
    QTest::addColumn<QByteArray>("expected"); // how its reply begins
    QTest::addColumn<QByteArray>("again");    // the same step once the service is back
    QTest::addColumn<QByteArray>("againExpected");

    QTest::newRow("USER") << QByteArrayList{} << QByteArray("USER user") << QByteArray("-ERR Communication error: ")
                          << QByteArray("USER user") << QByteArray("+OK password required\r\n");
    QTest::newRow("PASS") << QByteArrayList{"USER user"} << QByteArray("PASS " + Password)
                          << QByteArray("-ERR Login failure ") << QByteArray("PASS " + Password)
                          << QByteArray("+OK logged in\r\n");
    QTest::newRow("LIST") << QByteArrayList{"USER user", "PASS " + Password} << QByteArray("LIST")
                          << QByteArray("-ERR Store not loaded\r\n") << QByteArray("STAT")
                          << statReply({SmallMessage, LargeMessage});
    // The service comes back with new nonces; the agent's kept credentials
    // must answer the new challenge.
    QTest::newRow("RETR") << QByteArrayList{"USER user", "PASS " + Password, "STAT"} << QByteArray("RETR 1")
                          << QByteArray("-ERR Retrieval failed: ") << QByteArray("RETR 1")
                          << "+OK " + QByteArray::number(SmallMessage.size()) + "\r\n";
    QTest::newRow("TOP") << QByteArrayList{"USER user", "PASS " + Password, "STAT"} << QByteArray("TOP 2 0")
                         << QByteArray("+OK\r\nX-Comm-Error: ") << QByteArray("TOP 2 0")
                         << QByteArray("+OK\r\nFrom: Ann <ann@example.org>\r\n");
    // QUIT's update phase cannot reach the service: the messages stay where
    // they were, unread, and the client is told so, so it keeps its copies.
    QTest::newRow("QUIT after DELE") << QByteArrayList{"USER user", "PASS " + Password, "STAT", "DELE 1", "DELE 2"}
                                     << QByteArray("QUIT") << QByteArray("-ERR some deleted messages not removed\r\n")
                                     << QByteArray() << QByteArray();
}

void tst_ServiceRestart::serviceCrashesMidDialogue()
{
    QFETCH(QByteArrayList, before);
    QFETCH(QByteArray, command);
    QFETCH(QByteArray, expected);
    QFETCH(QByteArray, again);
    QFETCH(QByteArray, againExpected);

    LineClient client;
    QVERIFY(client.connectTo(m_agent->pop3Port()));
    QCOMPARE(client.readLine(), QByteArray("+OK Zorvane Welcome\r\n"));
    for (const QByteArray &line : before)
        QVERIFY2(client.command(line).startsWith("+OK"), line.constData());

    m_service->kill();
    client.send(command + "\r\n");
    QVERIFY(client.waitFor(expected.endsWith("\r\n") ? expected : QByteArray("\r\n")));
    const QByteArray reply = client.takeAll();
    QVERIFY2(reply.startsWith(expected), reply.constData());

    QVERIFY2(m_service->start(), qPrintable(m_service->problem()));
    if (!again.isEmpty()) {
        client.send(again + "\r\n");
        QVERIFY(client.waitFor(againExpected));
        QVERIFY(client.pending().startsWith(againExpected));
        client.abort();
    } else {
        QVERIFY(client.waitForClose());
    }
    expectInboxUntouched();
    agentServesNextClient();
    expectInboxUntouched();
}

// The service stops while the agent downloads a message in the background
// and then dies: the client must not be handed a cut-off message as whole.
void tst_ServiceRestart::serviceStopsInTheMiddleOfALargeDownload()
{
    const QByteArray huge = MailTexts::messageOfSize(HugeMessageBytes, "huge");
    QVERIFY(!m_service->deliver(Account, huge).isEmpty());
    m_inbox.append(huge);

    LineClient client;
    client.logInPop(m_agent->pop3Port(), Password);
    QCOMPARE(client.command("STAT"), statReply(m_inbox));
    client.send("RETR 3\r\n");
    QCOMPARE(client.readLine(), "+OK " + QByteArray::number(HugeMessageBytes) + "\r\n");
    m_service->pause();
    m_service->kill();

    client.waitUntil([&] { return client.pending().endsWith("\r\n.\r\n") || !client.isConnected(); });
    const QByteArray received = client.takeAll();
    if (received.endsWith("\r\n.\r\n")) {
        // The transfer was over before the stop: then it must be whole.
        const auto [text, terminated] = MailTexts::unstuffData(received);
        QVERIFY(terminated);
        QCOMPARE(text.size(), huge.size());
        QVERIFY(text == huge);
    } else {
        QVERIFY2(!client.isConnected(), "the agent kept the client waiting after the download failed");
        QVERIFY(received.size() < huge.size());
    }

    QVERIFY2(m_service->start(), qPrintable(m_service->problem()));
    expectInboxUntouched();
    LineClient next;
    next.logInPop(m_agent->pop3Port(), Password);
    next.send("RETR 3\r\n");
    const auto [status, data] = MailTexts::splitStatus(next.readMultiLine());
    QCOMPARE(status, "+OK " + QByteArray::number(HugeMessageBytes) + "\r\n");
    const auto [text, terminated] = MailTexts::unstuffData(data);
    QVERIFY(terminated);
    QVERIFY(text == huge);
    QCOMPARE(next.command("QUIT"), QByteArray("+OK\r\n"));
}

void tst_ServiceRestart::clientDropsMidRetrieve()
{
    const QByteArray huge = MailTexts::messageOfSize(HugeMessageBytes / 4, "big");
    QVERIFY(!m_service->deliver(Account, huge).isEmpty());
    {
        LineClient client;
        client.logInPop(m_agent->pop3Port(), Password);
        QCOMPARE(client.command("DELE 1"), QByteArray("+OK marked for deletion\r\n"));
        client.send("RETR 3\r\n");
        QCOMPARE(client.readLine(), "+OK " + QByteArray::number(huge.size()) + "\r\n");
        client.abort();
    }
    m_inbox.append(huge);
    expectInboxUntouched();
    agentServesNextClient();
    expectInboxUntouched();
}

void tst_ServiceRestart::clientDropsAfterDeleBeforeQuit()
{
    {
        LineClient client;
        client.logInPop(m_agent->pop3Port(), Password);
        QCOMPARE(client.command("STAT"), statReply(m_inbox));
        QCOMPARE(client.command("DELE 1"), QByteArray("+OK marked for deletion\r\n"));
        QCOMPARE(client.command("DELE 2"), QByteArray("+OK marked for deletion\r\n"));
        client.abort();
    }
    expectInboxUntouched();
    agentServesNextClient();

    // The same with QUIT: read, and moved to the deleted items.
    LineClient client;
    client.logInPop(m_agent->pop3Port(), Password);
    QCOMPARE(client.command("DELE 1"), QByteArray("+OK marked for deletion\r\n"));
    QCOMPARE(client.command("QUIT"), QByteArray("+OK\r\n"));
    QVERIFY(client.waitForClose());
    QCOMPARE(m_service->files(Account, QStringLiteral("new")).size(), 1);
    const QStringList deleted = m_service->files(Account, QStringLiteral(".Deleted Items/cur"));
    QCOMPARE(deleted.size(), 1);
    QVERIFY2(deleted.first().section(QLatin1Char(','), -1).contains(QLatin1Char('S')), qPrintable(deleted.first()));
}

void tst_ServiceRestart::submit(const QByteArray &message, bool crashServiceAtEnd, QByteArray *reply)
{
    LineClient client;
    QVERIFY(client.connectGreeted(m_agent->smtpPort(), "220 Zorvane Simple Mail Transfer Service Ready\r\n"));
    QCOMPARE(client.command("HELO client.example.org"), QByteArray("250 Zorvane\r\n"));
    QCOMPARE(client.command("MAIL FROM:<user@zorvane.test>"), QByteArray("250 OK\r\n"));
    QCOMPARE(client.command("RCPT TO:<user@zorvane.test>"), QByteArray("250 OK\r\n"));
    QCOMPARE(client.command("RCPT TO:<ann@example.org>"), QByteArray("250 OK\r\n"));
    QCOMPARE(client.command("DATA"), QByteArray("354 Start mail input; end with <CRLF>.<CRLF>\r\n"));
    if (crashServiceAtEnd)
        m_service->kill();
    client.send(stuffedForData(message));
    *reply = client.readLine();
    QCOMPARE(client.command("QUIT"), QByteArray("221 Zorvane bye.\r\n"));
}

// The service is gone when the message text ends: both attempts fail, the
// client hears so and nothing is stored; sent again later, it is stored once
// in each place it belongs.
void tst_ServiceRestart::serviceCrashesAtTheEndOfAMessageText()
{
    LineClient pop;
    pop.logInPop(m_agent->pop3Port(), Password); // stores the password the SMTP side logs in with
    QCOMPARE(pop.command("QUIT"), QByteArray("+OK\r\n"));

    const QByteArray first = outgoing("first-try");
    QByteArray reply;
    submit(first, true, &reply);
    QCOMPARE(reply, QByteArray("451 Local error in processing\r\n"));
    QVERIFY2(m_service->start(), qPrintable(m_service->problem()));
    QCOMPARE(occurrences(m_service->storedMessages(Account), "first-try"), 0);
    QCOMPARE(occurrences(m_service->outboxMessages(), "first-try"), 0);

    submit(first, false, &reply);
    QCOMPARE(reply, QByteArray("250 OK\r\n"));
    // The local recipient's inbox and the sent copy; one file for the relay.
    QCOMPARE(occurrences(m_service->storedMessages(Account), "<first-try@example.org>"), 2);
    QCOMPARE(occurrences(m_service->outboxMessages(), "<first-try@example.org>"), 1);
    QVERIFY(m_service->storedMessages(Account).contains(first));
}

void tst_ServiceRestart::clientDropsMidData()
{
    LineClient pop;
    pop.logInPop(m_agent->pop3Port(), Password);
    QCOMPARE(pop.command("QUIT"), QByteArray("+OK\r\n"));
    {
        LineClient client;
        QVERIFY(client.connectGreeted(m_agent->smtpPort(), "220 Zorvane Simple Mail Transfer Service Ready\r\n"));
        QCOMPARE(client.command("HELO client.example.org"), QByteArray("250 Zorvane\r\n"));
        QCOMPARE(client.command("MAIL FROM:<user@zorvane.test>"), QByteArray("250 OK\r\n"));
        QCOMPARE(client.command("RCPT TO:<ann@example.org>"), QByteArray("250 OK\r\n"));
        QCOMPARE(client.command("DATA"), QByteArray("354 Start mail input; end with <CRLF>.<CRLF>\r\n"));
        client.send(stuffedForData(outgoing("unfinished")).left(90));
        QVERIFY(m_agent->waitForOutput("  ... receiving"));
        client.abort();
    }
    QByteArray reply;
    submit(outgoing("second"), false, &reply);
    QCOMPARE(reply, QByteArray("250 OK\r\n"));
    QCOMPARE(occurrences(m_service->storedMessages(Account), "<second@example.org>"), 2);
    QCOMPARE(occurrences(m_service->storedMessages(Account), "unfinished"), 0);
    QCOMPARE(occurrences(m_service->outboxMessages(), "unfinished"), 0);
}

// The service stores a submission and its answer is lost on the way back:
// the agent tries again under the same identifier, the service knows the
// submission and stores nothing more. The client hears "250 OK", and every
// copy exists once.
void tst_ServiceRestart::submissionWhoseAnswerIsLostIsStoredOnce()
{
    AnswerLosingProxy proxy(m_service->port());
    QVERIFY(proxy.listen());
    QVERIFY(m_agent->stop());
    m_agent.reset();
    startAgent(proxy.port());
    LineClient pop;
    pop.logInPop(m_agent->pop3Port(), Password); // stores the password the SMTP side logs in with
    QCOMPARE(pop.command("QUIT"), QByteArray("+OK\r\n"));

    proxy.loseAnswers("POST ", 1);
    QByteArray reply;
    submit(outgoing("lost-answer"), false, &reply);
    QCOMPARE(reply, QByteArray("250 OK\r\n"));
    QCOMPARE(proxy.answersLost(), 1);
    // The local recipient's inbox and the sent copy; one file for the relay.
    QCOMPARE(occurrences(m_service->storedMessages(Account), "<lost-answer@example.org>"), 2);
    QCOMPARE(occurrences(m_service->outboxMessages(), "<lost-answer@example.org>"), 1);
}

QTEST_GUILESS_MAIN(tst_ServiceRestart)
#include "tst_ServiceRestart.moc"
