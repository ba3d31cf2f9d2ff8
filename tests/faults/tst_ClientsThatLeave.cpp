// Clients that leave while the agent waits for a slow service. The service
// holds one kind of answer back; meanwhile the client goes and the socket
// watchdog heals the port, as its next tick would. Then the answer comes:
// the command runs to its end, its reply finds no one and is dropped, and
// the agent serves the next client on both ports. Nothing is lost, nothing
// is stored twice.

#include "LineClient.h"
#include "MailTexts.h"
#include "ScriptedMailService.h"
#include "TestAgent.h"

#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <memory>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using Kind = ScriptedMailService::Kind;
Q_DECLARE_METATYPE(ScriptedMailService::Kind)

namespace {

// Short enough that a wait given up takes seconds, not minutes; long enough
// that the held answer comes before the wait is given up.
constexpr int AgentPollMs = 10;
// The held answer comes this long after its request; the client leaves
// after LeaveAfterMs, well inside that.
constexpr int AnswerDelayMs = 1500;
constexpr int LeaveAfterMs = 200;
constexpr int HealPollMs = 10;
constexpr int SettleTimeoutMs = 30000;

const QByteArray Account = "user@zorvane.test";
const QByteArray SmallMessage = "From: Ann <ann@example.org>\r\nTo: user@zorvane.test\r\nSubject: small\r\n\r\n"
                                "one\r\n.\r\ntwo\r\n";
const QByteArray LargeMessage = MailTexts::messageOfSize(60000, "large");
const QByteArray PopGreeting = "+OK Zorvane Welcome\r\n";
const QByteArray SmtpGreeting = "220 Zorvane Simple Mail Transfer Service Ready\r\n";
const QByteArray Outgoing = "Subject: outgoing\r\n\r\nHello.\r\n";

enum class Port { Pop3, Smtp };

// A connection from another thread, as a mail client in another process
// would make it: connects to the port and closes again at once.
void connectAndLeave(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address);
    ::close(fd);
}

} // namespace

Q_DECLARE_METATYPE(Port)

class tst_ClientsThatLeave : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void clientLeavesWhileTheServiceIsSlow_data();
    void clientLeavesWhileTheServiceIsSlow();
    void clientLeavesDuringTheSubmission();
    void clientLeavesWhileAProblemIsShown();
    void submissionAnswerLostAndOthersComeAndGo();
    void portTakenWhileAClientIsServed_data();
    void portTakenWhileAClientIsServed();

private:
    void storePassword();
    void openSmtpUpToMessage(LineClient &client);
    void leaveAndHeal(LineClient &client, Winsock &socket);
    bool settled(Winsock &socket) const;
    void agentServesNextClients();

    std::unique_ptr<QTemporaryDir> m_root;
    std::unique_ptr<ScriptedMailService> m_service;
    std::unique_ptr<TestAgent> m_agent;
    QTimer m_heal;
};

void tst_ClientsThatLeave::init()
{
    m_root = std::make_unique<QTemporaryDir>();
    QVERIFY(m_root->isValid());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_root->filePath(QStringLiteral("config"))));
    qputenv("TMPDIR", QFile::encodeName(m_root->filePath(QStringLiteral("temp"))));
    QDir().mkpath(m_root->filePath(QStringLiteral("temp")));
    m_service = std::make_unique<ScriptedMailService>(Account);
    m_service->setMessages({SmallMessage, SmallMessage + "again\r\n", LargeMessage});
    QVERIFY(m_service->listenInOwnThread());
    m_agent = std::make_unique<TestAgent>(
        m_root->filePath(QStringLiteral("config/Zorvane.ini")), m_service->serviceUrl(), m_service->altServiceUrl(),
        TestAgent::listingAll(true, true), TestAgent::sessionPolledEvery(AgentPollMs));
    QVERIFY(m_agent->listening);
    m_heal.setInterval(HealPollMs);
    m_heal.disconnect();
}

void tst_ClientsThatLeave::cleanup()
{
    m_heal.stop();
    m_heal.disconnect();
    m_agent.reset();
    m_service.reset();
    m_root.reset();
}

// An earlier POP3 login keeps the password the SMTP side logs in with.
void tst_ClientsThatLeave::storePassword()
{
    LineClient pop;
    QVERIFY(pop.connectGreeted(m_agent->pop3Port(), PopGreeting));
    QCOMPARE(pop.command("USER user"), QByteArray("+OK password required\r\n"));
    QCOMPARE(pop.command("PASS secret"), QByteArray("+OK logged in\r\n"));
    QCOMPARE(pop.command("QUIT"), QByteArray("+OK\r\n"));
    QVERIFY(pop.waitForClose());
}

// An SMTP dialogue past DATA: the message text comes next.
void tst_ClientsThatLeave::openSmtpUpToMessage(LineClient &client)
{
    QVERIFY(client.connectGreeted(m_agent->smtpPort(), SmtpGreeting));
    QCOMPARE(client.command("HELO client.example.org"), QByteArray("250 Zorvane\r\n"));
    QCOMPARE(client.command("MAIL FROM:<user@zorvane.test>"), QByteArray("250 OK\r\n"));
    QCOMPARE(client.command("RCPT TO:<ann@example.org>"), QByteArray("250 OK\r\n"));
    QCOMPARE(client.command("DATA"), QByteArray("354 Start mail input; end with <CRLF>.<CRLF>\r\n"));
}

// The client goes; once the agent's socket has seen it go, the watchdog
// heals the port, as its next tick would, unless the front end has done so
// itself (nothing of the dialogue was running). Runs from the event loop,
// that is inside whatever wait the agent is in.
void tst_ClientsThatLeave::leaveAndHeal(LineClient &client, Winsock &socket)
{
    client.disconnect();
    m_heal.disconnect();
    connect(&m_heal, &QTimer::timeout, this, [this, &socket] {
        if (socket.State() == Winsock::sckListening)
            m_heal.stop();
        if (socket.State() != Winsock::sckClosing)
            return;
        m_heal.stop();
        m_agent->watchdog->CheckSockets();
    });
    m_heal.start();
}

// The held answer has come and the agent is done with it: the session is
// free and the port listens again.
bool tst_ClientsThatLeave::settled(Winsock &socket) const
{
    return !m_heal.isActive() && !m_agent->session->IsBusy() && socket.State() == Winsock::sckListening
        && !m_agent->pop->IsRetrieving();
}

void tst_ClientsThatLeave::agentServesNextClients()
{
    m_service->clearFaults();
    LineClient pop;
    QVERIFY(pop.connectGreeted(m_agent->pop3Port(), PopGreeting));
    QCOMPARE(pop.command("USER user"), QByteArray("+OK password required\r\n"));
    QCOMPARE(pop.command("PASS secret"), QByteArray("+OK logged in\r\n"));
    QVERIFY(pop.command("STAT").startsWith("+OK 3 "));
    pop.send("RETR 1\r\n");
    const auto [status, data] = MailTexts::splitStatus(pop.readMultiLine());
    QCOMPARE(status, "+OK " + QByteArray::number(SmallMessage.size()) + "\r\n");
    QCOMPARE(MailTexts::unstuffData(data).first, SmallMessage);
    QCOMPARE(pop.command("QUIT"), QByteArray("+OK\r\n"));
    QVERIFY(pop.waitForClose());

    const int submitted = m_service->submissions().size();
    LineClient smtp;
    QVERIFY(smtp.connectGreeted(m_agent->smtpPort(), SmtpGreeting));
    QCOMPARE(smtp.command("HELO client.example.org"), QByteArray("250 Zorvane\r\n"));
    QCOMPARE(smtp.command("MAIL FROM:<user@zorvane.test>"), QByteArray("250 OK\r\n"));
    QCOMPARE(smtp.command("RCPT TO:<ann@example.org>"), QByteArray("250 OK\r\n"));
    QCOMPARE(smtp.command("DATA"), QByteArray("354 Start mail input; end with <CRLF>.<CRLF>\r\n"));
    QCOMPARE(smtp.command("Subject: next\r\n\r\nNext.\r\n."), QByteArray("250 OK\r\n"));
    QCOMPARE(smtp.command("QUIT"), QByteArray("221 Zorvane bye.\r\n"));
    QCOMPARE(m_service->submissions().size(), submitted + 1);
}

void tst_ClientsThatLeave::clientLeavesWhileTheServiceIsSlow_data()
{
    QTest::addColumn<Port>("port");
    QTest::addColumn<Kind>("slow");
    QTest::addColumn<QByteArrayList>("before");
    QTest::addColumn<QByteArray>("command");

    const QByteArrayList loggedIn{"USER user", "PASS secret"};
    const QByteArrayList loaded{"USER user", "PASS secret", "STAT"};
    QTest::newRow("USER") << Port::Pop3 << Kind::Probe << QByteArrayList{} << QByteArray("USER user");
    QTest::newRow("PASS") << Port::Pop3 << Kind::Login << QByteArrayList{"USER user"} << QByteArray("PASS secret");
    QTest::newRow("STAT") << Port::Pop3 << Kind::FolderCollection << loggedIn << QByteArray("STAT");
    QTest::newRow("LIST") << Port::Pop3 << Kind::FolderListing << loggedIn << QByteArray("LIST");
    QTest::newRow("RETR small") << Port::Pop3 << Kind::Fetch << loaded << QByteArray("RETR 1");
    QTest::newRow("RETR large") << Port::Pop3 << Kind::Fetch << loaded << QByteArray("RETR 3");
    QTest::newRow("TOP") << Port::Pop3 << Kind::Properties << loaded << QByteArray("TOP 3 0");
    QTest::newRow("HELO") << Port::Smtp << Kind::Probe << QByteArrayList{} << QByteArray("HELO client.example.org");
    QTest::newRow("MAIL") << Port::Smtp << Kind::Login << QByteArrayList{"HELO client.example.org"}
                          << QByteArray("MAIL FROM:<user@zorvane.test>");
}

void tst_ClientsThatLeave::clientLeavesWhileTheServiceIsSlow()
{
    QFETCH(Port, port);
    QFETCH(Kind, slow);
    QFETCH(QByteArrayList, before);
    QFETCH(QByteArray, command);

    if (port == Port::Smtp)
        storePassword();
    Winsock &socket = port == Port::Pop3 ? m_agent->wskPop : m_agent->wskSmtp;
    LineClient client;
    QVERIFY(client.connectGreeted(port == Port::Pop3 ? m_agent->pop3Port() : m_agent->smtpPort(),
                                  port == Port::Pop3 ? PopGreeting : SmtpGreeting));
    for (const QByteArray &line : before)
        QVERIFY2(!client.command(line).startsWith("-ERR"), line.constData());
    const int requestsBefore = m_service->requestCount(slow);
    m_service->setDelay(slow, AnswerDelayMs);

    client.send(command + "\r\n");
    QTimer::singleShot(LeaveAfterMs, this, [&] { leaveAndHeal(client, socket); });
    QTRY_VERIFY_WITH_TIMEOUT(m_service->requestCount(slow) > requestsBefore && settled(socket), SettleTimeoutMs);

    QVERIFY(m_service->markedRead().isEmpty());
    QVERIFY(m_service->moved().isEmpty());
    agentServesNextClients();
}

// The client goes while the synchronous submission blocks the agent; the
// service stores the message and answers 201, which finds no one. The
// message is stored once, and the log says what became of it.
void tst_ClientsThatLeave::clientLeavesDuringTheSubmission()
{
    storePassword();
    LineClient client;
    openSmtpUpToMessage(client);

    // The agent's thread is blocked in the send: the client is closed from
    // the service's thread, when the submission arrives there.
    const qintptr descriptor = client.socketDescriptor();
    m_service->setDelay(Kind::Submit, LeaveAfterMs);
    m_service->setFault(Kind::Submit, [descriptor](const FakeHttpPeer::Request &, int) {
        ::shutdown(int(descriptor), SHUT_RDWR);
        return std::optional<FakeHttpPeer::Answer>();
    });
    client.send(Outgoing + ".\r\n");
    QTRY_VERIFY_WITH_TIMEOUT(m_service->submissions().size() == 1 && settled(m_agent->wskSmtp)
                                 && m_agent->smtp->DialogueState() == 0,
                             SettleTimeoutMs);
    QVERIFY(m_agent->state.Screen.text().contains(
        QStringLiteral("SMTP-ERR: The client left before the reply to its message: 250 OK")));
    QCOMPARE(m_service->submissionAttempts().size(), 1);
    agentServesNextClients();
}

// On the desktop the failed service check at HELO shows a box; the client
// gives up and the port is healed while the box is up. Closing the box
// must not bring the agent down.
void tst_ClientsThatLeave::clientLeavesWhileAProblemIsShown()
{
    LineClient client;
    QVERIFY(client.connectGreeted(m_agent->smtpPort(), SmtpGreeting));
    int boxes = 0;
    m_agent->state.messageBoxWithIcon = [&](modMain::BoxIcon, const QString &, const QString &) {
        ++boxes;
        // Modal: events run until the user closes it.
        leaveAndHeal(client, m_agent->wskSmtp);
        QVERIFY(QTest::qWaitFor([this] { return !m_heal.isActive(); }, SettleTimeoutMs));
    };
    m_service->setFault(Kind::Probe, ScriptedMailService::status(503, "Service Unavailable"));
    client.send("HELO client.example.org\r\n");
    QTRY_VERIFY_WITH_TIMEOUT(boxes == 1 && settled(m_agent->wskSmtp), SettleTimeoutMs);
    m_agent->state.messageBoxWithIcon = nullptr;
    agentServesNextClients();
}

// The answer to a submission is lost on its way back (the service stored
// nothing of that attempt); the SMTP client gives up meanwhile and a POP3
// client comes and goes. The retry's 201 finds the SMTP client gone.
void tst_ClientsThatLeave::submissionAnswerLostAndOthersComeAndGo()
{
    storePassword();
    LineClient client;
    openSmtpUpToMessage(client);

    const qintptr descriptor = client.socketDescriptor();
    const quint16 pop3Port = m_agent->pop3Port();
    m_service->setFault(Kind::Submit, [descriptor, pop3Port](const FakeHttpPeer::Request &, int occurrence) {
        if (occurrence > 1)
            return std::optional<FakeHttpPeer::Answer>();
        ::shutdown(int(descriptor), SHUT_RDWR);
        connectAndLeave(pop3Port);
        return std::optional<FakeHttpPeer::Answer>(FakeHttpPeer::Answer().wait(LeaveAfterMs).close());
    });
    client.send(Outgoing + ".\r\n");
    QTRY_VERIFY_WITH_TIMEOUT(m_service->submissionAttempts().size() == 2 && settled(m_agent->wskSmtp)
                                 && m_agent->wskPop.State() == Winsock::sckListening,
                             SettleTimeoutMs);
    QCOMPARE(m_service->submissions().size(), 1);
    agentServesNextClients();
}

void tst_ClientsThatLeave::portTakenWhileAClientIsServed_data()
{
    QTest::addColumn<Port>("port");
    QTest::newRow("POP3") << Port::Pop3;
    QTest::newRow("SMTP") << Port::Smtp;
}

// While a client is served nothing listens on the port, and another program
// takes it. When the client has gone the agent cannot listen again: it says
// so, and the watchdog tries again until the port is free.
void tst_ClientsThatLeave::portTakenWhileAClientIsServed()
{
    QFETCH(Port, port);
    const bool pop3 = port == Port::Pop3;
    const QString protocol = pop3 ? QStringLiteral("POP3") : QStringLiteral("SMTP");
    Winsock &socket = pop3 ? m_agent->wskPop : m_agent->wskSmtp;
    const quint16 number = pop3 ? m_agent->pop3Port() : m_agent->smtpPort();
    const QByteArray greeting = pop3 ? PopGreeting : SmtpGreeting;

    LineClient client;
    QVERIFY(client.connectGreeted(number, greeting));
    QTcpServer otherProgram;
    QVERIFY(otherProgram.listen(QHostAddress::AnyIPv4, number));
    QVERIFY(client.command("QUIT").startsWith(pop3 ? "+OK" : "221 "));
    QVERIFY(client.waitForClose());
    const QString cannot = QStringLiteral("%1-ERR: Cannot listen on port %2 again: ").arg(protocol).arg(number);
    QTRY_VERIFY_WITH_TIMEOUT(m_agent->state.Screen.text().contains(cannot), SettleTimeoutMs);

    m_agent->watchdog->CheckSockets(); // still taken
    QCOMPARE(socket.State(), int(Winsock::sckError));
    otherProgram.close();
    m_agent->watchdog->CheckSockets();
    QCOMPARE(socket.State(), int(Winsock::sckListening));
    QVERIFY(m_agent->state.Screen.text().contains(
        QStringLiteral("%1-Listening on port %2 again.").arg(protocol).arg(number)));
    agentServesNextClients();
}

QTEST_GUILESS_MAIN(tst_ClientsThatLeave)
#include "tst_ClientsThatLeave.moc"
