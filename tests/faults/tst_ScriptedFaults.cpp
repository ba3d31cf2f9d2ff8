// The headless Zorvane program against a scripted web mail service that
// fails on cue: every kind of request answered 500, 503, not XML, cut short,
// dropped, or slowly; clients that vanish in the middle of a download, of a
// message text, or between DELE and QUIT. After each fault the agent must
// serve the next client, must not have marked or moved a message unless a
// QUIT ran its update phase, and must have submitted every accepted message
// exactly once (twice only where the send's retry says so).

#include "AgentProcess.h"
#include "LineClient.h"
#include "MailTexts.h"
#include "ScriptedMailService.h"

#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using Kind = ScriptedMailService::Kind;
Q_DECLARE_METATYPE(ScriptedMailService::Kind)
Q_DECLARE_METATYPE(ScriptedMailService::Fault)

namespace {

using MailTexts::statReply;
using MailTexts::stuffedForData;

const QByteArray SmallMessage = "From: Ann <ann@example.org>\r\nTo: user@zorvane.test\r\nSubject: small\r\n\r\n"
                                "first line\r\n.\r\n..two dots\r\n.x\r\nlast line\r\n";
// Above the size at which TOP takes the header lines from the properties.
const QByteArray MediumMessage = MailTexts::messageOfSize(20000, "medium", ".\r\n");
// Above the size at which RETR downloads in the background.
const QByteArray LargeMessage = MailTexts::messageOfSize(60000, "large", "..\r\n.\r\n");
// The one the fault tests mark with DELE: no fault may carry that mark out.
const QByteArray MarkedMessage = "Subject: marked\r\n\r\nKeep me.\r\n";

const QByteArray Submitted = "From: user@zorvane.test\r\nTo: ann@example.org\r\nSubject: outgoing\r\n\r\n"
                             "Hello Ann.\r\n.A line with a dot\r\nBye.\r\n";

} // namespace

class tst_ScriptedFaults : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void pop3ServiceFaults_data();
    void pop3ServiceFaults();
    void storeLoadIsRetriedInTheSameDialogue();
    void slowAnswersUnderTheLimitsStillServe();
    void marksOnlyWhenQuitCompletes();
    void clientDropsMidRetrieve_data();
    void clientDropsMidRetrieve();
    void smtpServiceFaults_data();
    void smtpServiceFaults();
    void clientDropsMidData();

private:
    void startAgent();
    void storePassword();
    void sendMessage(LineClient &client, const QByteArray &message, QByteArray *reply);
    void agentServesNextClient(const QList<QByteArray> &inbox);
    void agentSubmitsNextMessage();
    QByteArrayList submissionIds() const;

    std::unique_ptr<QTemporaryDir> m_root;
    std::unique_ptr<ScriptedMailService> m_service;
    std::unique_ptr<AgentProcess> m_agent;
};

void tst_ScriptedFaults::init()
{
    m_root = std::make_unique<QTemporaryDir>();
    QVERIFY(m_root->isValid());
    m_service = std::make_unique<ScriptedMailService>();
    m_service->setMessages({SmallMessage, MediumMessage, LargeMessage, MarkedMessage});
    QVERIFY(m_service->listen());
    startAgent();
}

void tst_ScriptedFaults::cleanup()
{
    m_agent.reset();
    m_service.reset();
    m_root.reset();
}

void tst_ScriptedFaults::startAgent()
{
    m_agent = std::make_unique<AgentProcess>(m_root->path());
    m_agent->writeSettings(m_service->serviceUrl(), m_service->altServiceUrl(),
                           "MarkReadOnServer=1\nDeleteOnServer=1\nListUnreadOnly=0\nSaveSentItems=1\nDebugMode=1\n");
    QVERIFY2(m_agent->start(), m_agent->standardError().constData());
}

// A whole healthy dialogue: the listing matches the inbox and the first
// message arrives byte for byte.
void tst_ScriptedFaults::agentServesNextClient(const QList<QByteArray> &inbox)
{
    LineClient client;
    client.logInPop(m_agent->pop3Port());
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(client.command("STAT"), statReply(inbox));
    client.send("RETR 1\r\n");
    const auto [status, data] = MailTexts::splitStatus(client.readMultiLine());
    QCOMPARE(status, "+OK " + QByteArray::number(inbox.first().size()) + "\r\n");
    const auto [text, terminated] = MailTexts::unstuffData(data);
    QVERIFY(terminated);
    QCOMPARE(text, inbox.first());
    QCOMPARE(client.command("QUIT"), QByteArray("+OK\r\n"));
    QVERIFY(client.waitForClose());
}

// The SMTP side logs in with the password the last POP3 login stored.
void tst_ScriptedFaults::storePassword()
{
    LineClient client;
    client.logInPop(m_agent->pop3Port());
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(client.command("QUIT"), QByteArray("+OK\r\n"));
    QVERIFY(client.waitForClose());
}

void tst_ScriptedFaults::sendMessage(LineClient &client, const QByteArray &message, QByteArray *reply)
{
    QVERIFY(client.connectGreeted(m_agent->smtpPort(), "220 Zorvane Simple Mail Transfer Service Ready\r\n"));
    QCOMPARE(client.command("HELO client.example.org"), QByteArray("250 Zorvane\r\n"));
    QCOMPARE(client.command("MAIL FROM:<user@zorvane.test>"), QByteArray("250 OK\r\n"));
    QCOMPARE(client.command("RCPT TO:<ann@example.org>"), QByteArray("250 OK\r\n"));
    QCOMPARE(client.command("DATA"), QByteArray("354 Start mail input; end with <CRLF>.<CRLF>\r\n"));
    client.send(stuffedForData(message));
    *reply = client.readLine();
}

void tst_ScriptedFaults::agentSubmitsNextMessage()
{
    const int before = m_service->submissions().size();
    LineClient client;
    QByteArray reply;
    sendMessage(client, Submitted, &reply);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(reply, QByteArray("250 OK\r\n"));
    QCOMPARE(client.command("QUIT"), QByteArray("221 Zorvane bye.\r\n"));
    const QList<QByteArray> submissions = m_service->submissions();
    QCOMPARE(submissions.size(), before + 1);
    QCOMPARE(submissions.last(), "MAIL FROM:<user@zorvane.test>\r\nRCPT TO:<ann@example.org>\r\n\r\n" + Submitted);
}

void tst_ScriptedFaults::pop3ServiceFaults_data()
{
    QTest::addColumn<Kind>("kind");
    QTest::addColumn<FakeHttpPeer::Answer>("fault");
    QTest::addColumn<QByteArrayList>("before"); // commands after the greeting, answered normally
    QTest::addColumn<QByteArray>("command");    // the command that meets the fault
    QTest::addColumn<QByteArray>("expected");   // how its reply begins
    QTest::addColumn<bool>("connectionEnds");   // the agent ends the dialogue itself
    QTest::addColumn<QByteArray>("then");       // a command after it, with the fault still there
    QTest::addColumn<QByteArray>("thenExpected");

    const QByteArrayList none;
    const QByteArrayList loggedIn{"USER user", "PASS secret"};
    const QByteArrayList loaded{"USER user", "PASS secret", "STAT"};
    const QByteArray listing = "<?xml version=\"1.0\"?><D:multistatus xmlns:D=\"DAV:\"><D:response>";
    using S = ScriptedMailService;

    QTest::newRow("probe 500 at USER") << Kind::Probe << S::status(500, "Internal Server Error") << none
                                       << QByteArray("USER user") << QByteArray("-ERR Communication error: ") << false
                                       << QByteArray() << QByteArray();
    QTest::newRow("probe 503 at USER") << Kind::Probe << S::status(503, "Service Unavailable") << none
                                       << QByteArray("USER user")
                                       << QByteArray(
                                              "-ERR Communication error: 10503, 503 - Hotmail service unavailable.")
                                       << false << QByteArray() << QByteArray();
    QTest::newRow("probe dropped at USER")
        << Kind::Probe << FakeHttpPeer::drop() << none << QByteArray("USER user")
        << QByteArray("-ERR Communication error: ") << false << QByteArray() << QByteArray();
    QTest::newRow("probe cut short at USER")
        << Kind::Probe << S::truncated(207, listing, 10) << none << QByteArray("USER user")
        << QByteArray("-ERR Communication error: ") << false << QByteArray() << QByteArray();
    QTest::newRow("login 500 at PASS") << Kind::Login << S::status(500, "Internal Server Error")
                                       << QByteArrayList{"USER user"} << QByteArray("PASS secret")
                                       << QByteArray("-ERR Login failure 500\r\n") << false << QByteArray()
                                       << QByteArray();
    QTest::newRow("login reset at PASS") << Kind::Login << FakeHttpPeer::raw("").reset() << QByteArrayList{"USER user"}
                                         << QByteArray("PASS secret") << QByteArray("-ERR Login failure ") << false
                                         << QByteArray() << QByteArray();
    QTest::newRow("login cut short at PASS")
        << Kind::Login << S::truncated(207, listing, 20) << QByteArrayList{"USER user"} << QByteArray("PASS secret")
        << QByteArray("-ERR Login failure ") << false << QByteArray() << QByteArray();
    // 503 at the login lets the client on to the mailbox state, where nothing loads.
    QTest::newRow("login 503 at PASS") << Kind::Login << S::status(503, "Service Unavailable")
                                       << QByteArrayList{"USER user"} << QByteArray("PASS secret")
                                       << QByteArray("+OK\r\n") << false << QByteArray("STAT")
                                       << QByteArray("-ERR Store not loaded\r\n");
    QTest::newRow("login not XML at PASS")
        << Kind::Login << S::notXml() << QByteArrayList{"USER user"} << QByteArray("PASS secret")
        << QByteArray("+OK logged in\r\n") << false << QByteArray("STAT") << QByteArray("-ERR Store not loaded\r\n");
    QTest::newRow("count 500 at STAT") << Kind::FolderCollection << S::status(500, "Internal Server Error") << loggedIn
                                       << QByteArray("STAT") << QByteArray("-ERR Store not loaded\r\n") << false
                                       << QByteArray() << QByteArray();
    QTest::newRow("count not XML at LIST")
        << Kind::FolderCollection << S::notXml() << loggedIn << QByteArray("LIST")
        << QByteArray("-ERR Store not loaded\r\n") << false << QByteArray() << QByteArray();
    QTest::newRow("listing 503 at UIDL") << Kind::FolderListing << S::status(503, "Service Unavailable") << loggedIn
                                         << QByteArray("UIDL") << QByteArray("-ERR Store not loaded\r\n") << false
                                         << QByteArray() << QByteArray();
    QTest::newRow("listing cut short at STAT")
        << Kind::FolderListing << S::truncated(207, listing + listing, 30) << loggedIn << QByteArray("STAT")
        << QByteArray("-ERR Store not loaded\r\n") << false << QByteArray() << QByteArray();
    QTest::newRow("listing dropped at STAT")
        << Kind::FolderListing << FakeHttpPeer::drop() << loggedIn << QByteArray("STAT")
        << QByteArray("-ERR Store not loaded\r\n") << false << QByteArray() << QByteArray();
    QTest::newRow("fetch 500 at RETR") << Kind::Fetch << S::status(500, "Internal Server Error") << loaded
                                       << QByteArray("RETR 1") << QByteArray("-ERR Retrieval failed: ") << false
                                       << QByteArray() << QByteArray();
    QTest::newRow("fetch 503 at RETR") << Kind::Fetch << S::status(503, "Service Unavailable") << loaded
                                       << QByteArray("RETR 1") << QByteArray("-ERR Retrieval failed: ") << false
                                       << QByteArray() << QByteArray();
    QTest::newRow("fetch cut short at RETR")
        << Kind::Fetch << S::truncated(200, SmallMessage, 40) << loaded << QByteArray("RETR 1")
        << QByteArray("-ERR Retrieval failed: ") << false << QByteArray() << QByteArray();
    QTest::newRow("fetch dropped at TOP")
        << Kind::Fetch << FakeHttpPeer::drop() << loaded << QByteArray("TOP 1 1")
        << QByteArray("-ERR Retrieval failed: ") << false << QByteArray() << QByteArray();
    QTest::newRow("properties 500 at TOP")
        << Kind::Properties << S::status(500, "Internal Server Error") << loaded << QByteArray("TOP 2 0")
        << QByteArray("+OK\r\nX-Comm-Error: ") << false << QByteArray() << QByteArray();
    QTest::newRow("properties not XML at TOP")
        << Kind::Properties << S::notXml() << loaded << QByteArray("TOP 2 0") << QByteArray("+OK\r\nX-Comm-Error: ")
        << false << QByteArray() << QByteArray();
    // A large message goes out in the background after "+OK" and its size;
    // a download that fails then ends the connection without the terminating
    // line, so the client keeps the message.
    QTest::newRow("large fetch 500 at RETR")
        << Kind::Fetch << S::status(500, "Internal Server Error") << loaded << QByteArray("RETR 3")
        << QByteArray("+OK 60000\r\n") << true << QByteArray() << QByteArray();
    QTest::newRow("large fetch cut short at RETR")
        << Kind::Fetch << S::truncated(200, LargeMessage, 30000) << loaded << QByteArray("RETR 3")
        << QByteArray("+OK 60000\r\n") << true << QByteArray() << QByteArray();
    QTest::newRow("large fetch reset at RETR")
        << Kind::Fetch << FakeHttpPeer::raw("").reset() << loaded << QByteArray("RETR 3") << QByteArray("+OK 60000\r\n")
        << true << QByteArray() << QByteArray();
}

void tst_ScriptedFaults::pop3ServiceFaults()
{
    QFETCH(Kind, kind);
    QFETCH(FakeHttpPeer::Answer, fault);
    QFETCH(QByteArrayList, before);
    QFETCH(QByteArray, command);
    QFETCH(QByteArray, expected);
    QFETCH(bool, connectionEnds);
    QFETCH(QByteArray, then);
    QFETCH(QByteArray, thenExpected);

    LineClient client;
    QVERIFY(client.connectTo(m_agent->pop3Port()));
    QCOMPARE(client.readLine(), QByteArray("+OK Zorvane Welcome\r\n"));
    for (const QByteArray &line : before)
        QVERIFY2(client.command(line).startsWith("+OK"), line.constData());
    // A mark that no fault may carry out (only once the list is there: a
    // mailbox command would load it).
    if (before.contains("STAT"))
        QCOMPARE(client.command("DELE 4"), QByteArray("+OK marked for deletion\r\n"));

    m_service->setFault(kind, fault);
    client.send(command + "\r\n");
    if (connectionEnds) {
        QVERIFY(client.waitForClose());
        const QByteArray received = client.takeAll();
        QVERIFY2(received.startsWith(expected), received.left(200).constData());
        QVERIFY2(!received.endsWith("\r\n.\r\n"), "a failed download reached the client as a whole message");
    } else {
        QVERIFY(client.waitFor(expected.endsWith("\r\n") ? expected : QByteArray("\r\n")));
        const QByteArray reply = client.takeAll();
        QVERIFY2(reply.startsWith(expected), reply.constData());
        if (!then.isEmpty())
            QCOMPARE(client.command(then), thenExpected);
        QVERIFY(client.isConnected());
        QVERIFY(m_service->requestCount(kind) >= 1);
        client.abort();
    }

    m_service->clearFaults();
    QVERIFY(m_service->markedRead().isEmpty());
    QVERIFY(m_service->moved().isEmpty());
    agentServesNextClient(m_service->messages());
}

// A list that cannot be loaded is tried again at every command of the same
// dialogue; once the service answers, the dialogue goes on normally.
void tst_ScriptedFaults::storeLoadIsRetriedInTheSameDialogue()
{
    LineClient client;
    client.logInPop(m_agent->pop3Port());
    m_service->setFault(Kind::FolderListing, ScriptedMailService::status(503, "Service Unavailable"));
    QCOMPARE(client.command("STAT"), QByteArray("-ERR Store not loaded\r\n"));
    QCOMPARE(client.command("QUIT"), QByteArray("-ERR Store not loaded\r\n"));
    m_service->clearFaults();
    QCOMPARE(client.command("STAT"), statReply(m_service->messages()));
    QCOMPARE(client.command("DELE 1"), QByteArray("+OK marked for deletion\r\n"));
    QCOMPARE(client.command("QUIT"), QByteArray("+OK\r\n"));
    QVERIFY(client.waitForClose());
    QCOMPARE(m_service->markedRead(), QByteArrayList{ScriptedMailService::messageName(0)});
    QCOMPARE(m_service->moved(), QByteArrayList{ScriptedMailService::messageName(0)});
}

// Seconds of silence, well inside the 30 s / 90 s limits, cost time only.
void tst_ScriptedFaults::slowAnswersUnderTheLimitsStillServe()
{
    for (const Kind kind : {Kind::Probe, Kind::Login, Kind::FolderCollection, Kind::FolderListing, Kind::Fetch,
                            Kind::Properties, Kind::MarkRead, Kind::Move})
        m_service->setDelay(kind, 1500);

    LineClient client;
    client.logInPop(m_agent->pop3Port());
    QCOMPARE(client.command("STAT"), statReply(m_service->messages()));
    client.send("TOP 2 0\r\n");
    const QByteArray top = client.readMultiLine();
    QVERIFY2(top.startsWith("+OK\r\nFrom: Ann <ann@example.org>\r\n"), top.constData());
    QVERIFY(top.contains("X-Zorvane-Id: <msg2@zorvane.test>\r\n"));
    client.send("RETR 3\r\n");
    const auto [status, data] = MailTexts::splitStatus(client.readMultiLine());
    QCOMPARE(status, QByteArray("+OK 60000\r\n"));
    const auto [text, terminated] = MailTexts::unstuffData(data);
    QVERIFY(terminated);
    QCOMPARE(text, LargeMessage);
    QCOMPARE(client.command("DELE 3"), QByteArray("+OK marked for deletion\r\n"));
    QCOMPARE(client.command("QUIT"), QByteArray("+OK\r\n"));
    QVERIFY(client.waitForClose());
    QCOMPARE(m_service->markedRead(), QByteArrayList{ScriptedMailService::messageName(2)});
    QCOMPARE(m_service->moved(), QByteArrayList{ScriptedMailService::messageName(2)});
}

// DELE only marks; the service hears of it at QUIT and not before.
void tst_ScriptedFaults::marksOnlyWhenQuitCompletes()
{
    {
        LineClient client;
        client.logInPop(m_agent->pop3Port());
        QCOMPARE(client.command("STAT"), statReply(m_service->messages()));
        QCOMPARE(client.command("DELE 1"), QByteArray("+OK marked for deletion\r\n"));
        QCOMPARE(client.command("DELE 3"), QByteArray("+OK marked for deletion\r\n"));
        client.abort();
    }
    {
        LineClient client;
        client.logInPop(m_agent->pop3Port());
        QCOMPARE(client.command("STAT"), statReply(m_service->messages()));
        QCOMPARE(client.command("DELE 2"), QByteArray("+OK marked for deletion\r\n"));
        // An orderly close without QUIT is no QUIT either.
        client.disconnect();
    }
    QVERIFY(m_service->markedRead().isEmpty());
    QVERIFY(m_service->moved().isEmpty());
    QCOMPARE(m_service->requestCount(Kind::MarkRead) + m_service->requestCount(Kind::Move), 0);

    LineClient client;
    client.logInPop(m_agent->pop3Port());
    QCOMPARE(client.command("STAT"), statReply(m_service->messages()));
    QCOMPARE(client.command("DELE 2"), QByteArray("+OK marked for deletion\r\n"));
    QCOMPARE(client.command("QUIT"), QByteArray("+OK\r\n"));
    QVERIFY(client.waitForClose());
    QCOMPARE(m_service->markedRead(), QByteArrayList{ScriptedMailService::messageName(1)});
    QCOMPARE(m_service->moved(), QByteArrayList{ScriptedMailService::messageName(1)});
    agentServesNextClient({SmallMessage, LargeMessage, MarkedMessage});
}

void tst_ScriptedFaults::clientDropsMidRetrieve_data()
{
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<QByteArray>("status");
    QTest::newRow("small message, direct path") << QByteArray("RETR 1") << QByteArray();
    QTest::newRow("large message, background path") << QByteArray("RETR 3") << QByteArray("+OK 60000\r\n");
}

void tst_ScriptedFaults::clientDropsMidRetrieve()
{
    QFETCH(QByteArray, command);
    QFETCH(QByteArray, status);
    LineClient client;
    client.logInPop(m_agent->pop3Port());
    QCOMPARE(client.command("STAT"), statReply(m_service->messages()));
    QCOMPARE(client.command("DELE 2"), QByteArray("+OK marked for deletion\r\n"));
    const int fetches = m_service->requestCount(Kind::Fetch);
    const int requests = m_service->peer().requests().size();
    m_service->setDelay(Kind::Fetch, 3000);
    client.send(command + "\r\n");
    QVERIFY(m_service->peer().waitForRequests(requests + 1));
    QCOMPARE(m_service->requestCount(Kind::Fetch), fetches + 1);
    if (!status.isEmpty())
        QCOMPARE(client.readLine(), status);
    client.abort();

    m_service->clearFaults();
    QVERIFY(m_service->markedRead().isEmpty());
    QVERIFY(m_service->moved().isEmpty());
    agentServesNextClient(m_service->messages());
}

void tst_ScriptedFaults::smtpServiceFaults_data()
{
    QTest::addColumn<Kind>("kind");
    QTest::addColumn<ScriptedMailService::Fault>("fault");
    QTest::addColumn<QByteArray>("failingCommand"); // "HELO", "MAIL" or the message text
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<int>("attempts"); // submission requests the service saw
    QTest::addColumn<int>("stored");   // of those, answered as stored

    using S = ScriptedMailService;
    const auto always = [](const FakeHttpPeer::Answer &answer) {
        return S::Fault([answer](const FakeHttpPeer::Request &, int) { return std::optional(answer); });
    };
    const auto firstOnly = [](const FakeHttpPeer::Answer &answer) {
        return S::Fault([answer](const FakeHttpPeer::Request &, int occurrence) {
            return occurrence == 1 ? std::optional(answer) : std::nullopt;
        });
    };
    const QByteArray message = "message";
    QTest::newRow("probe 500 at HELO") << Kind::Probe << always(S::status(500, "Internal Server Error"))
                                       << QByteArray("HELO")
                                       << QByteArray("550 Requested action not taken: mailbox unavailable\r\n") << 0
                                       << 0;
    QTest::newRow("login 500 at MAIL") << Kind::Login << always(S::status(500, "Internal Server Error"))
                                       << QByteArray("MAIL") << QByteArray("450 authentication failed\r\n") << 0 << 0;
    QTest::newRow("login 503 at MAIL") << Kind::Login << always(S::status(503, "Service Unavailable"))
                                       << QByteArray("MAIL") << QByteArray("451 Service temporarily unavailable\r\n")
                                       << 0 << 0;
    // A status is the service's verdict: reported, never sent again.
    QTest::newRow("submission 500") << Kind::Submit << always(S::status(500, "Internal Server Error")) << message
                                    << QByteArray("554 Transaction failed. 500 Internal Server Error\r\n") << 1 << 0;
    QTest::newRow("submission 503") << Kind::Submit << always(S::status(503, "Service Unavailable")) << message
                                    << QByteArray("554 Transaction failed. 503 Service Unavailable\r\n") << 1 << 0;
    // No answer at all is a failed attempt: the message is posted once more.
    QTest::newRow("submission dropped once")
        << Kind::Submit << firstOnly(FakeHttpPeer::drop()) << message << QByteArray("250 OK\r\n") << 2 << 1;
    QTest::newRow("submission dropped twice") << Kind::Submit << always(FakeHttpPeer::drop()) << message
                                              << QByteArray("451 Local error in processing\r\n") << 2 << 0;
    QTest::newRow("submission answer cut short")
        << Kind::Submit << always(S::truncated(201, "stored: 1 outbox\n", 3)) << message
        << QByteArray("451 Local error in processing\r\n") << 2 << 0;
}

void tst_ScriptedFaults::smtpServiceFaults()
{
    QFETCH(Kind, kind);
    QFETCH(ScriptedMailService::Fault, fault);
    QFETCH(QByteArray, failingCommand);
    QFETCH(QByteArray, expected);
    QFETCH(int, attempts);
    QFETCH(int, stored);

    storePassword();
    m_service->setFault(kind, fault);
    LineClient client;
    QVERIFY(client.connectGreeted(m_agent->smtpPort(), "220 Zorvane Simple Mail Transfer Service Ready\r\n"));
    const QByteArray helo = client.command("HELO client.example.org");
    if (failingCommand == "HELO") {
        QCOMPARE(helo, expected);
    } else {
        QCOMPARE(helo, QByteArray("250 Zorvane\r\n"));
        const QByteArray mail = client.command("MAIL FROM:<user@zorvane.test>");
        QCOMPARE(mail, failingCommand == "MAIL" ? expected : QByteArray("250 OK\r\n"));
        if (failingCommand != "MAIL") {
            QCOMPARE(client.command("RCPT TO:<ann@example.org>"), QByteArray("250 OK\r\n"));
            QCOMPARE(client.command("DATA"), QByteArray("354 Start mail input; end with <CRLF>.<CRLF>\r\n"));
            client.send(stuffedForData(Submitted));
            QCOMPARE(client.readLine(), expected);
        }
    }
    QCOMPARE(client.command("QUIT"), QByteArray("221 Zorvane bye.\r\n"));
    QVERIFY(client.waitForClose());

    const QByteArray body = "MAIL FROM:<user@zorvane.test>\r\nRCPT TO:<ann@example.org>\r\n\r\n" + Submitted;
    const QList<QByteArray> tried = m_service->submissionAttempts();
    // One post per attempt of the send: the HTTP layer never posts again on
    // its own, so the service cannot store a message more often than the
    // session asked it to.
    QCOMPARE(tried.size(), attempts);
    for (const QByteArray &attempt : tried)
        QCOMPARE(attempt, body);
    QCOMPARE(m_service->submissions().size(), stored);
    // Every attempt names the submission alike (128 random bits), so a
    // service that stored one whose answer was lost knows the next.
    const QByteArrayList ids = submissionIds();
    QCOMPARE(ids.size(), tried.size());
    for (const QByteArray &id : ids) {
        QCOMPARE(id, ids.first());
        QVERIFY2(QRegularExpression(QStringLiteral("^[0-9a-f]{32}$")).match(QString::fromLatin1(id)).hasMatch(),
                 id.constData());
    }

    m_service->clearFaults();
    agentSubmitsNextMessage();
    // The next message is another submission.
    if (!ids.isEmpty())
        QVERIFY(submissionIds().last() != ids.first());
}

QByteArrayList tst_ScriptedFaults::submissionIds() const
{
    QByteArrayList ids;
    for (const FakeHttpPeer::Request &request : m_service->peer().requests()) {
        if (ScriptedMailService::kindOf(request) == Kind::Submit)
            ids.append(request.header("X-Zorvane-Submission-Id"));
    }
    return ids;
}

// A client that vanishes before the end marker has sent nothing.
void tst_ScriptedFaults::clientDropsMidData()
{
    storePassword();
    {
        LineClient client;
        QVERIFY(client.connectGreeted(m_agent->smtpPort(), "220 Zorvane Simple Mail Transfer Service Ready\r\n"));
        QCOMPARE(client.command("HELO client.example.org"), QByteArray("250 Zorvane\r\n"));
        QCOMPARE(client.command("MAIL FROM:<user@zorvane.test>"), QByteArray("250 OK\r\n"));
        QCOMPARE(client.command("RCPT TO:<ann@example.org>"), QByteArray("250 OK\r\n"));
        QCOMPARE(client.command("DATA"), QByteArray("354 Start mail input; end with <CRLF>.<CRLF>\r\n"));
        const QByteArray half = MailTexts::messageOfSize(200000, "unfinished");
        client.send(half.left(120000));
        QVERIFY(m_agent->waitForOutput("  ... receiving"));
        client.abort();
    }
    agentSubmitsNextMessage();
    QCOMPARE(m_service->submissionAttempts().size(), 1);
    for (const QByteArray &body : m_service->submissionAttempts())
        QVERIFY(!body.contains("unfinished"));
}

QTEST_GUILESS_MAIN(tst_ScriptedFaults)
#include "tst_ScriptedFaults.moc"
