// A service that never answers, or begins an answer and never ends it: the
// agent gives each request up (after 301 polls without an answer begun,
// after 901 units in all), answers the client, and serves the next one.
// The agent is wired inside the test, as the program wires it, so that the
// session's poll can be shortened from 100 ms to 2 ms; the counts stay.

#include "LineClient.h"
#include "MailTexts.h"
#include "ScriptedMailService.h"
#include "TestAgent.h"

#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <memory>

using Kind = ScriptedMailService::Kind;
Q_DECLARE_METATYPE(ScriptedMailService::Kind)

namespace {

using MailTexts::statReply;

constexpr int ShortPollMs = 2;
// The completion wait's units: 3 per poll before an answer began, 1 after;
// more than 900 gives the request up.
constexpr int GiveUpAfterUnits = 900;
constexpr int UnitsPerPollBeforeAnswer = 3;

const QByteArray SmallMessage = "From: Ann <ann@example.org>\r\nTo: user@zorvane.test\r\nSubject: small\r\n\r\n"
                                "one\r\n.\r\ntwo\r\n";
const QByteArray MediumMessage = MailTexts::messageOfSize(20000, "medium");
const QByteArray LargeMessage = MailTexts::messageOfSize(60000, "large");

// The head of an answer that never ends: the status line and a length that
// the body never reaches.
FakeHttpPeer::Answer stalledAnswer(int status)
{
    return FakeHttpPeer::raw(
               "HTTP/1.1 " + QByteArray::number(status)
               + " OK\r\nContent-Type: application/xml\r\nContent-Length: 100000\r\n\r\n<?xml version=\"1.0\"?>")
        .stall();
}

} // namespace

class tst_SlowService : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void requestsAreGivenUp_data();
    void requestsAreGivenUp();
    void updatePhaseGivesUpAndMarksNothing();
    void updatePhaseRefusedForOneMessage();
    void smtpGivesUpAtHeloAndMail();
    void backgroundDownloadThatNeverEnds();
    void linesThatArriveWhileACommandWaitsAreAnswered_data();
    void linesThatArriveWhileACommandWaitsAreAnswered();

private:
    void agentServesNextClient();

    std::unique_ptr<QTemporaryDir> m_root;
    std::unique_ptr<ScriptedMailService> m_service;
    std::unique_ptr<TestAgent> m_agent;
};

void tst_SlowService::init()
{
    m_root = std::make_unique<QTemporaryDir>();
    QVERIFY(m_root->isValid());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_root->filePath(QStringLiteral("config"))));
    qputenv("TMPDIR", QFile::encodeName(m_root->filePath(QStringLiteral("temp"))));
    QDir().mkpath(m_root->filePath(QStringLiteral("temp")));
    m_service = std::make_unique<ScriptedMailService>();
    m_service->setMessages({SmallMessage, MediumMessage, LargeMessage});
    QVERIFY(m_service->listenInOwnThread());
    m_agent = std::make_unique<TestAgent>(
        m_root->filePath(QStringLiteral("config/Zorvane.ini")), m_service->serviceUrl(), m_service->altServiceUrl(),
        TestAgent::listingAll(true, true), TestAgent::sessionPolledEvery(ShortPollMs));
    QVERIFY(m_agent->listening);
}

void tst_SlowService::cleanup()
{
    m_agent.reset();
    m_service.reset();
    m_root.reset();
}

void tst_SlowService::agentServesNextClient()
{
    LineClient client;
    client.logInPop(m_agent->pop3Port());
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(client.command("STAT"), statReply(m_service->messages()));
    client.send("RETR 1\r\n");
    const auto [status, data] = MailTexts::splitStatus(client.readMultiLine());
    QCOMPARE(status, "+OK " + QByteArray::number(SmallMessage.size()) + "\r\n");
    QCOMPARE(MailTexts::unstuffData(data).first, SmallMessage);
    QCOMPARE(client.command("QUIT"), QByteArray("+OK\r\n"));
    QVERIFY(client.waitForClose());
}

void tst_SlowService::requestsAreGivenUp_data()
{
    QTest::addColumn<Kind>("kind");
    QTest::addColumn<FakeHttpPeer::Answer>("fault");
    QTest::addColumn<QByteArrayList>("before");
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<bool>("answerBegins"); // the head arrives, the body never ends

    const QByteArrayList loggedIn{"USER user", "PASS secret"};
    const QByteArrayList loaded{"USER user", "PASS secret", "STAT"};
    QTest::newRow("probe silent at USER")
        << Kind::Probe << FakeHttpPeer::silence() << QByteArrayList{} << QByteArray("USER user")
        << QByteArray("-ERR Communication error: ") << false;
    QTest::newRow("login silent at PASS") << Kind::Login << FakeHttpPeer::silence() << QByteArrayList{"USER user"}
                                          << QByteArray("PASS secret") << QByteArray("-ERR Login failure ") << false;
    QTest::newRow("login stalled at PASS") << Kind::Login << stalledAnswer(207) << QByteArrayList{"USER user"}
                                           << QByteArray("PASS secret") << QByteArray("-ERR Login failure ") << true;
    QTest::newRow("count silent at STAT") << Kind::FolderCollection << FakeHttpPeer::silence() << loggedIn
                                          << QByteArray("STAT") << QByteArray("-ERR Store not loaded\r\n") << false;
    QTest::newRow("listing stalled at LIST") << Kind::FolderListing << stalledAnswer(207) << loggedIn
                                             << QByteArray("LIST") << QByteArray("-ERR Store not loaded\r\n") << true;
    QTest::newRow("fetch silent at RETR") << Kind::Fetch << FakeHttpPeer::silence() << loaded << QByteArray("RETR 1")
                                          << QByteArray("-ERR Retrieval failed: 1000, ") << false;
    QTest::newRow("fetch stalled at RETR") << Kind::Fetch << stalledAnswer(200) << loaded << QByteArray("RETR 1")
                                           << QByteArray("-ERR Retrieval failed: 1000, ") << true;
    QTest::newRow("properties silent at TOP")
        << Kind::Properties << FakeHttpPeer::silence() << loaded << QByteArray("TOP 2 0")
        << QByteArray("+OK\r\nX-Comm-Error: 1000, ") << false;
}

void tst_SlowService::requestsAreGivenUp()
{
    QFETCH(Kind, kind);
    QFETCH(FakeHttpPeer::Answer, fault);
    QFETCH(QByteArrayList, before);
    QFETCH(QByteArray, command);
    QFETCH(QByteArray, expected);
    QFETCH(bool, answerBegins);

    LineClient client;
    QVERIFY(client.connectTo(m_agent->pop3Port()));
    QCOMPARE(client.readLine(), QByteArray("+OK Zorvane Welcome\r\n"));
    for (const QByteArray &line : before)
        QVERIFY2(client.command(line).startsWith("+OK"), line.constData());
    m_service->setFault(kind, fault);
    client.send(command + "\r\n");
    QVERIFY(client.waitFor(expected.endsWith("\r\n") ? expected : QByteArray("\r\n")));
    const QByteArray reply = client.takeAll();
    QVERIFY2(reply.startsWith(expected), reply.constData());

    // The last wait was given up by its count, not by luck.
    const int polls = m_agent->session->LastWaitPolls();
    const int pollsBeforeAnswer = m_agent->session->LastWaitPollsBeforeAnswer();
    const int units = UnitsPerPollBeforeAnswer * pollsBeforeAnswer + (polls - pollsBeforeAnswer);
    QVERIFY2(units > GiveUpAfterUnits && units <= GiveUpAfterUnits + UnitsPerPollBeforeAnswer,
             qPrintable(QStringLiteral("%1 polls, %2 before the answer").arg(polls).arg(pollsBeforeAnswer)));
    if (answerBegins)
        QVERIFY(pollsBeforeAnswer < polls);
    else
        QCOMPARE(polls, GiveUpAfterUnits / UnitsPerPollBeforeAnswer + 1);

    QVERIFY(client.isConnected());
    client.abort();
    m_service->clearFaults();
    QVERIFY(m_service->markedRead().isEmpty());
    QVERIFY(m_service->moved().isEmpty());
    agentServesNextClient();
}

// Every mark request is given up: QUIT tells the client that the deleted
// messages are still there and ends the dialogue; nothing is marked, the log
// names each message and why, and the messages are all there for the next
// client.
void tst_SlowService::updatePhaseGivesUpAndMarksNothing()
{
    LineClient client;
    client.logInPop(m_agent->pop3Port());
    QCOMPARE(client.command("DELE 1"), QByteArray("+OK marked for deletion\r\n"));
    QCOMPARE(client.command("DELE 3"), QByteArray("+OK marked for deletion\r\n"));
    m_service->setFault(Kind::MarkRead, FakeHttpPeer::silence());
    m_service->setFault(Kind::Move, FakeHttpPeer::silence());
    QCOMPARE(client.command("QUIT"), QByteArray("-ERR some deleted messages not removed\r\n"));
    QVERIFY(client.waitForClose());
    // Three passes, each given up at its first message.
    QCOMPARE(m_service->requestCount(Kind::MarkRead), 3);
    QCOMPARE(m_service->requestCount(Kind::Move), 3);
    QVERIFY(m_service->markedRead().isEmpty());
    QVERIFY(m_service->moved().isEmpty());
    const QString log = m_agent->state.Screen.text();
    for (const char *line : {"POP3-ERR: Message #1 (msg1) not marked as read: no answer from the service in time",
                             "POP3-ERR: Message #3 (msg3) not marked as read: not asked: the service failed on a "
                             "message before it",
                             "POP3-ERR: Message #1 (msg1) not moved to the deleted items: no answer from the service "
                             "in time"})
        QVERIFY2(log.contains(QLatin1String(line)), line);
    m_service->clearFaults();
    agentServesNextClient();
}

// The service refuses one move and does the other: QUIT says so, and only
// the refused message stays; a QUIT whose update phase did everything says
// "+OK".
void tst_SlowService::updatePhaseRefusedForOneMessage()
{
    LineClient client;
    client.logInPop(m_agent->pop3Port());
    QCOMPARE(client.command("DELE 1"), QByteArray("+OK marked for deletion\r\n"));
    QCOMPARE(client.command("DELE 2"), QByteArray("+OK marked for deletion\r\n"));
    m_service->setFault(Kind::Move, [](const FakeHttpPeer::Request &request, int) {
        return request.path().endsWith("/msg1") ? std::optional(ScriptedMailService::status(500, "Disk Full"))
                                                : std::nullopt;
    });
    QCOMPARE(client.command("QUIT"), QByteArray("-ERR some deleted messages not removed\r\n"));
    QVERIFY(client.waitForClose());
    // msg1 in each of three passes, msg2 once: done is not asked again.
    QCOMPARE(m_service->requestCount(Kind::Move), 4);
    QCOMPARE(m_service->moved(), QByteArrayList{"msg2"});
    QVERIFY(m_agent->state.Screen.text().contains(
        QStringLiteral("POP3-ERR: Message #1 (msg1) not moved to the deleted items: 500 Disk Full")));
    m_service->clearFaults();

    LineClient next;
    next.logInPop(m_agent->pop3Port());
    QCOMPARE(next.command("DELE 1"), QByteArray("+OK marked for deletion\r\n"));
    QCOMPARE(next.command("QUIT"), QByteArray("+OK\r\n"));
    QVERIFY(next.waitForClose());
    QCOMPARE(m_service->moved(), (QByteArrayList{"msg2", "msg1"}));
}

void tst_SlowService::smtpGivesUpAtHeloAndMail()
{
    LineClient pop;
    pop.logInPop(m_agent->pop3Port());
    QCOMPARE(pop.command("QUIT"), QByteArray("+OK\r\n"));
    QVERIFY(pop.waitForClose());

    LineClient client;
    QVERIFY(client.connectTo(m_agent->smtpPort()));
    QCOMPARE(client.readLine(), QByteArray("220 Zorvane Simple Mail Transfer Service Ready\r\n"));
    m_service->setFault(Kind::Probe, FakeHttpPeer::silence());
    QCOMPARE(client.command("HELO client.example.org"),
             QByteArray("550 Requested action not taken: mailbox unavailable\r\n"));
    m_service->clearFaults();
    QCOMPARE(client.command("HELO client.example.org"), QByteArray("250 Zorvane\r\n"));
    m_service->setFault(Kind::Login, FakeHttpPeer::silence());
    QCOMPARE(client.command("MAIL FROM:<user@zorvane.test>"), QByteArray("450 authentication failed\r\n"));
    m_service->clearFaults();
    QCOMPARE(client.command("RSET"), QByteArray("250 OK\r\n"));
    QCOMPARE(client.command("MAIL FROM:<user@zorvane.test>"), QByteArray("250 OK\r\n"));
    QCOMPARE(client.command("RCPT TO:<ann@example.org>"), QByteArray("250 OK\r\n"));
    QCOMPARE(client.command("DATA"), QByteArray("354 Start mail input; end with <CRLF>.<CRLF>\r\n"));
    client.send("Subject: after the faults\r\n\r\nHello.\r\n.\r\n");
    QCOMPARE(client.readLine(), QByteArray("250 OK\r\n"));
    QCOMPARE(m_service->submissions().size(), 1);
    QVERIFY(m_service->submissions().first().endsWith("\r\n\r\nSubject: after the faults\r\n\r\nHello.\r\n"));
}

// The background download has no time limit of its own: the client is kept
// waiting with keep-alive lines until it gives up; then the agent lets the
// download go and serves the next client.
void tst_SlowService::backgroundDownloadThatNeverEnds()
{
    m_agent->pop->SetRetrieveInterval(20);
    LineClient client;
    client.logInPop(m_agent->pop3Port());
    QCOMPARE(client.command("STAT"), statReply(m_service->messages()));
    // The head arrives, the text never: the client hears keep-alive lines.
    m_service->setFault(Kind::Fetch, FakeHttpPeer::raw("HTTP/1.1 200 OK\r\nContent-Length: 60000\r\n\r\n").stall());
    QCOMPARE(client.command("RETR 3"), QByteArray("+OK 60000\r\n"));
    QVERIFY(client.waitFor("X-zorvane: busy...\r\nX-zorvane: busy...\r\n"));
    QVERIFY(client.isConnected());
    client.abort();
    QTRY_VERIFY_WITH_TIMEOUT(!m_agent->pop->IsRetrieving(), 20000);
    QVERIFY(!m_agent->session->IsBusy());
    m_service->clearFaults();
    agentServesNextClient();
}

void tst_SlowService::linesThatArriveWhileACommandWaitsAreAnswered_data()
{
    QTest::addColumn<bool>("smtp");
    QTest::addColumn<Kind>("slow");
    QTest::addColumn<QByteArrayList>("before");
    QTest::addColumn<QByteArrayList>("lines");
    QTest::addColumn<QByteArrayList>("replies");

    QTest::newRow("POP3 STAT, NOOP") << false << Kind::FolderCollection << QByteArrayList{"USER user", "PASS secret"}
                                     << QByteArrayList{"STAT", "NOOP"}
                                     << QByteArrayList{statReply({SmallMessage, MediumMessage, LargeMessage}),
                                                       "+OK nothing done\r\n"};
    QTest::newRow("POP3 USER, PASS") << false << Kind::Probe << QByteArrayList{}
                                     << QByteArrayList{"USER user", "PASS secret"}
                                     << QByteArrayList{"+OK password required\r\n", "+OK logged in\r\n"};
    QTest::newRow("SMTP HELO, NOOP") << true << Kind::Probe << QByteArrayList{}
                                     << QByteArrayList{"HELO client.example.org", "NOOP"}
                                     << QByteArrayList{"250 Zorvane\r\n", "250 OK\r\n"};
    QTest::newRow("SMTP MAIL, RCPT") << true << Kind::Login << QByteArrayList{"HELO client.example.org"}
                                     << QByteArrayList{"MAIL FROM:<user@zorvane.test>", "RCPT TO:<ann@example.org>"}
                                     << QByteArrayList{"250 OK\r\n", "250 OK\r\n"};
}

// The second line comes while the first waits for a service 0.3 s away; it
// is answered as soon as the first is, without the client sending more.
void tst_SlowService::linesThatArriveWhileACommandWaitsAreAnswered()
{
    QFETCH(bool, smtp);
    QFETCH(Kind, slow);
    QFETCH(QByteArrayList, before);
    QFETCH(QByteArrayList, lines);
    QFETCH(QByteArrayList, replies);
    constexpr int ServiceDelayMs = 300;
    constexpr int SecondLineAfterMs = 30;
    // Far beyond the service's delay: a reply that has not come by then was
    // never going to come.
    constexpr int ReplyLimitMs = 10000;

    if (smtp) {
        LineClient pop;
        pop.logInPop(m_agent->pop3Port()); // keeps the password the SMTP side logs in with
        QCOMPARE(pop.command("QUIT"), QByteArray("+OK\r\n"));
        QVERIFY(pop.waitForClose());
    }
    LineClient client;
    QVERIFY(
        client.connectGreeted(smtp ? m_agent->smtpPort() : m_agent->pop3Port(),
                              smtp ? "220 Zorvane Simple Mail Transfer Service Ready\r\n" : "+OK Zorvane Welcome\r\n"));
    for (const QByteArray &line : before)
        QVERIFY2(!client.command(line).startsWith("-ERR"), line.constData());
    m_service->setDelay(slow, ServiceDelayMs);
    client.send(lines.at(0) + "\r\n");
    QTimer::singleShot(SecondLineAfterMs, this, [&] { client.send(lines.at(1) + "\r\n"); });
    QCOMPARE(client.readLine(ReplyLimitMs), replies.at(0));
    QCOMPARE(client.readLine(ReplyLimitMs), replies.at(1));
}

QTEST_GUILESS_MAIN(tst_SlowService)
#include "tst_SlowService.moc"
