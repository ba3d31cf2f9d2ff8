// The POP3 front end against a scripted web mail service: logins the
// service refuses, large downloads that are slow, fail or lose their client,
// and input that arrives while the session is busy elsewhere.
#include "FakeHttpPeer.h"
#include "MessageDelivery.h"
#include "PopInterpreter.h"
#include "PopTestBench.h"
#include "ScriptedMailService.h"

using namespace PopTest;

using Kind = ScriptedMailService::Kind;

class tst_PopFaults : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void lineBreaksInCredentialsNeverReachTheService();
    void refusedLoginsLeaveTheStoreUnloaded_data();
    void refusedLoginsLeaveTheStoreUnloaded();
    void thresholdChoosesThePath();
    void slowDownloadKeepsTheClientWaiting();
    void failedDownloadIsNotDelivered_data();
    void failedDownloadIsNotDelivered();
    void clientGoneDuringDownload();
    void inputIsHeldWhileTheSessionIsBusy();
    void nextClientGetsNothingOfTheLastOne();
    void slowDownloadIsNotIdleness();
    void clientThatNeverReadsIsClosed();
    void clientLeavingFreesThePortAtOnce_data();
    void clientLeavingFreesThePortAtOnce();
    void slowReaderGetsTheMessageAtItsPace();
    void slowReaderLeavingCancelsTheDownload();

private:
    void login(LineClient &client);
    void logIn(LineClient &client);

    std::unique_ptr<IsolatedEnvironment> m_env;
    std::unique_ptr<ScriptedMailService> m_service;
    std::unique_ptr<TestAgent> m_agent;
    int m_runs = 0;
};

void tst_PopFaults::initTestCase()
{
    m_env = std::make_unique<IsolatedEnvironment>();
    QVERIFY(m_env->isValid());
}

void tst_PopFaults::init()
{
    m_service = std::make_unique<ScriptedMailService>();
    QVERIFY(m_service->listen());
    m_service->setMessages(
        {messageOfSize(50000, "at-threshold", ".\r\n"), messageOfSize(50001, "above", ".\r\n..\r\n")});
    const QString settings = m_env->path(QStringLiteral("config/Zorvane/faults%1.ini").arg(++m_runs));
    QDir().mkpath(QFileInfo(settings).path());
    m_agent = std::make_unique<TestAgent>(settings, m_service->serviceUrl(), m_service->altServiceUrl(),
                                          TestAgent::listingAll(false, false));
    QVERIFY(m_agent->listening);
}

void tst_PopFaults::cleanup()
{
    m_agent.reset();
    m_service.reset();
}

// Connected and logged in, the inbox as the test has set it.
void tst_PopFaults::logIn(LineClient &client)
{
    QVERIFY(client.connectTo(m_agent->pop3Port()));
    QCOMPARE(client.readLine(), QByteArray("+OK Zorvane Welcome\r\n"));
    QCOMPARE(client.command("USER user"), QByteArray("+OK password required\r\n"));
    QCOMPARE(client.command("PASS secret"), QByteArray("+OK logged in\r\n"));
}

void tst_PopFaults::login(LineClient &client)
{
    logIn(client);
    QCOMPARE(client.command("STAT"), QByteArray("+OK 2 100001\r\n"));
}

// A CR, LF or NUL inside USER or PASS would end up inside the request's
// headers: such a line is refused before anything is sent, and the
// dialogue goes on as if it had not come.
void tst_PopFaults::lineBreaksInCredentialsNeverReachTheService()
{
    LineClient client;
    QVERIFY(client.connectTo(m_agent->pop3Port()));
    client.readLine();
    const QByteArray invalid("-ERR invalid argument\r\n");
    const int before = m_service->peer().requests().size();
    for (const QByteArray &line : {QByteArray("USER al\rx-injected: 1\r\n"), QByteArray("USER al\nx-injected: 1\r\n"),
                                   QByteArray("USER al\0x\r\n", 11)}) {
        client.send(line);
        QCOMPARE(client.readLine(), invalid);
        QCOMPARE(m_agent->pop->State(), PopState::Greeted);
    }
    QCOMPARE(client.command("USER user"), QByteArray("+OK password required\r\n"));
    const int afterProbe = m_service->peer().requests().size();
    for (const QByteArray &line : {QByteArray("PASS se\rcret\r\n"), QByteArray("PASS se\ncret\r\n"),
                                   QByteArray("PASS se\0cret\r\n", 14), QByteArray("USER user\r\r\n")}) {
        client.send(line);
        QCOMPARE(client.readLine(), invalid);
        QCOMPARE(m_agent->pop->State(), PopState::UserAccepted);
    }
    QCOMPARE(m_service->peer().requests().size(), afterProbe);
    QCOMPARE(afterProbe, before + 1); // the probe of the one good USER
    QVERIFY(m_agent->screenLog().contains(QStringLiteral("POP3-Line break or NUL in the PASS argument refused.")));
    QVERIFY(!m_agent->screenLog().contains(QStringLiteral("injected")));
    QCOMPARE(client.command("PASS secret"), QByteArray("+OK logged in\r\n"));
    QCOMPARE(m_agent->state.UserName, QStringLiteral("user@zorvane.test"));

    // Below the POP3 side the request layer refuses such a name by itself.
    XmlDocument mailbox;
    const int requests = m_service->peer().requests().size();
    QCOMPARE(m_agent->session->Login(QStringLiteral("al\rx-injected: 1@zorvane.test"), QStringLiteral("pw"), mailbox,
                                     clsHotmail::FrontEnd::Smtp),
             12027);
    QCOMPARE(m_service->peer().requests().size(), requests);
}

void tst_PopFaults::refusedLoginsLeaveTheStoreUnloaded_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("logLine");
    QTest::newRow("403") << 403 << QStringLiteral("POP3-ERR: Sorry. Proxy server not RFC2518-compatible.");
    QTest::newRow("503") << 503 << QStringLiteral("POP3-ERR: Service temporarily unavailable");
}

// The client is let into the mailbox state, but every command there is
// refused, QUIT included, for as long as the list cannot be loaded.
void tst_PopFaults::refusedLoginsLeaveTheStoreUnloaded()
{
    QFETCH(int, status);
    QFETCH(QString, logLine);
    m_service->setFault(Kind::Login,
                        FakeHttpPeer::reply(status, "Refused", "refused\n", {{"Content-Type", "text/plain"}}));
    LineClient client;
    QVERIFY(client.connectTo(m_agent->pop3Port()));
    client.readLine();
    QCOMPARE(client.command("USER user"), QByteArray("+OK password required\r\n"));
    QCOMPARE(client.command("PASS secret"), QByteArray("+OK\r\n"));
    QVERIFY(m_agent->screenLog().contains(logLine));
    for (const char *line : {"STAT", "LIST", "RETR 1", "CAPA", "QUIT"})
        QCOMPARE(client.command(line), QByteArray("-ERR Store not loaded\r\n"));
    QVERIFY(!client.closedByPeer());
    QVERIFY(m_agent->session->AccountOf(clsHotmail::FrontEnd::Pop3).isEmpty());
    QVERIFY(!m_agent->settings.contains(QStringLiteral("AccountInfo"), QString::fromUtf8(m_service->account())));
    QVERIFY(!m_agent->screenLog().contains(QStringLiteral("POP3-Logged in.")));
}

// Up to 50000 bytes the message is fetched while RETR is handled; above,
// the status line goes out at once and the download runs in the background.
void tst_PopFaults::thresholdChoosesThePath()
{
    m_service->setFault(Kind::Fetch, FakeHttpPeer::silence());
    LineClient client;
    login(client);
    const int before = m_service->peer().requests().size();

    // Direct path: the front end waits inside the command.
    bool retrievingDuringDirectFetch = true;
    bool busyDuringDirectFetch = false;
    QObject::connect(
        &m_service->peer(), &FakeHttpPeer::requestReceived, &client.socket(),
        [&](int index) {
            if (m_service->peer().requests().at(index).verb != "GET")
                return;
            retrievingDuringDirectFetch = m_agent->pop->IsRetrieving();
            busyDuringDirectFetch = m_agent->session->IsBusy();
            QTimer::singleShot(0, &client.socket(), [this] {
                m_service->peer().resumeStalled(FakeHttpPeer::reply(200, "OK", m_service->messages().at(0)));
            });
        },
        Qt::SingleShotConnection);
    const auto [status, text] = splitRetrieve(client.multiLineCommand("RETR 1"));
    QCOMPARE(status, QByteArray("+OK 50000\r\n"));
    QVERIFY(text == m_service->messages().at(0));
    QVERIFY(!retrievingDuringDirectFetch);
    QVERIFY(busyDuringDirectFetch);

    // Background path: the status line comes while the download is held.
    client.send("RETR 2\r\n");
    QVERIFY(client.waitFor("+OK 50001\r\n"));
    QVERIFY(m_service->peer().waitForRequests(before + 2));
    QVERIFY(m_agent->pop->IsRetrieving());
    QCOMPARE(m_agent->state.TrayData.tip(), TrayStatus::Busy);
    QVERIFY(m_service->peer().resumeStalled(FakeHttpPeer::reply(200, "OK", m_service->messages().at(1))));
    QVERIFY(client.waitFor("\r\n.\r\n"));
    const auto [status2, text2] = splitRetrieve(client.takeAll());
    QCOMPARE(status2, QByteArray("+OK 50001\r\n"));
    QVERIFY(text2 == m_service->messages().at(1));
    QTRY_COMPARE(m_agent->state.TrayData.tip(), TrayStatus::Idle);
    QVERIFY(!m_agent->pop->IsRetrieving());
}

// While the download runs the client gets a keep-alive line at every tick;
// a command sent meanwhile is answered right after the message, without
// the client having to send anything more.
void tst_PopFaults::slowDownloadKeepsTheClientWaiting()
{
    m_service->setFault(Kind::Fetch, FakeHttpPeer::silence());
    LineClient client;
    login(client);
    m_agent->pop->SetRetrieveInterval(20);
    const QByteArray keepAlive("X-zorvane: busy...\r\n");

    client.send("RETR 2\r\n");
    QVERIFY(client.waitFor("+OK 50001\r\n" + keepAlive + keepAlive));
    QSignalSpy arrivals(&m_agent->wskPop, &Winsock::DataArrival);
    client.send("NOOP\r\n");
    QVERIFY(arrivals.wait());
    // More keep-alive lines follow, and still no answer to NOOP.
    const qsizetype seen = client.pending().size();
    QVERIFY(client.waitUntil([&] { return client.pending().size() > seen; }));
    QVERIFY(!client.pending().contains("+OK nothing done"));
    QVERIFY(client.pending().mid(seen).startsWith(keepAlive));

    QVERIFY(m_service->peer().resumeStalled(FakeHttpPeer::reply(200, "OK", m_service->messages().at(1))));
    QVERIFY(client.waitFor("+OK nothing done\r\n"));
    const QByteArray all = client.takeAll();
    QVERIFY(all.endsWith("\r\n.\r\n+OK nothing done\r\n"));
    const auto [status, text] = splitRetrieve(all.chopped(18));
    QCOMPARE(status, QByteArray("+OK 50001\r\n"));
    QVERIFY(text == m_service->messages().at(1));
    QVERIFY(all.count(keepAlive) >= 3);
    QCOMPARE(m_agent->state.TrayData.tip(), TrayStatus::Idle);
}

void tst_PopFaults::failedDownloadIsNotDelivered_data()
{
    QTest::addColumn<int>("status");
    QTest::newRow("error page") << 500;
    QTest::newRow("not found") << 404;
    QTest::newRow("connection dropped") << 0;
}

// A download that fails must not reach the client as a message: the
// connection ends without the terminating line, so the client keeps the
// message on the server and the next client is served as usual.
void tst_PopFaults::failedDownloadIsNotDelivered()
{
    QFETCH(int, status);
    m_service->setFault(Kind::Fetch,
                        status == 0 ? FakeHttpPeer::drop()
                                    : FakeHttpPeer::reply(status, "Failed", "<html>error page</html>\r\n.\r\n"));
    LineClient client;
    login(client);
    client.send("RETR 2\r\n");
    QVERIFY(client.waitForClose());
    const QByteArray received = client.takeAll();
    QVERIFY(received.startsWith("+OK 50001\r\n"));
    QVERIFY(!received.contains("error page"));
    QVERIFY(!received.endsWith("\r\n.\r\n"));
    QVERIFY(m_agent->screenLog().contains(QStringLiteral("POP3-ERR: Message retrieval failed")));
    QVERIFY(m_agent->listensAgain());
    QVERIFY(!m_agent->session->IsBusy());
    QCOMPARE(m_agent->state.TrayData.tip(), TrayStatus::Idle);

    LineClient next;
    QVERIFY(next.connectTo(m_agent->pop3Port()));
    QCOMPARE(next.readLine(), QByteArray("+OK Zorvane Welcome\r\n"));
}

// The client goes away while its large message is being fetched: the
// keep-alive timer stops, the download is abandoned and the session is free.
void tst_PopFaults::clientGoneDuringDownload()
{
    m_service->setFault(Kind::Fetch, FakeHttpPeer::silence());
    LineClient client;
    login(client);
    m_agent->pop->SetRetrieveInterval(20);
    client.send("RETR 2\r\n");
    QVERIFY(client.waitFor("+OK 50001\r\n"));
    QVERIFY(m_agent->pop->IsRetrieving());
    const int downloadConnection = m_service->peer().requests().last().connection;
    QSignalSpy closed(&m_service->peer(), &FakeHttpPeer::connectionClosed);
    client.abort();

    QTRY_VERIFY(!m_agent->pop->IsRetrieving());
    QTRY_VERIFY(!m_agent->session->IsBusy());
    QTRY_VERIFY(std::any_of(closed.cbegin(), closed.cend(),
                            [&](const QList<QVariant> &args) { return args.at(0).toInt() == downloadConnection; }));
    QCOMPARE(m_agent->state.TrayData.tip(), TrayStatus::Idle);
    // The watchdog returns the port to listening; a new client is served.
    QTRY_COMPARE_WITH_TIMEOUT(m_agent->wskPop.State(), int(Winsock::sckListening), 3 * SocketWatchdog::CheckIntervalMs);
    m_service->clearFaults();
    LineClient next;
    QVERIFY(next.connectTo(m_agent->pop3Port()));
    QCOMPARE(next.readLine(), QByteArray("+OK Zorvane Welcome\r\n"));
    QCOMPARE(next.command("USER user"), QByteArray("+OK password required\r\n"));
    QCOMPARE(next.command("PASS secret"), QByteArray("+OK logged in\r\n"));
    const auto [status, text] = splitRetrieve(next.multiLineCommand("RETR 2"));
    QCOMPARE(status, QByteArray("+OK 50001\r\n"));
    QVERIFY(text == m_service->messages().at(1));
}

// Another front end's operation holds the session (here a probe the service
// does not answer yet): a POP3 command that arrives meanwhile waits and is
// answered as soon as the session is free, never in the middle.
void tst_PopFaults::inputIsHeldWhileTheSessionIsBusy()
{
    LineClient client;
    login(client);
    QStringList order;
    bool busyWhenNoopArrived = false;
    QObject::connect(&m_agent->state.Screen, &OnScreenLog::textChanged, &client.socket(), [&](const QString &text) {
        if (text.endsWith(QStringLiteral("POP3-Nothing done.\r\n")))
            order << QStringLiteral("noop answered");
    });
    // Once the probe is at the service, the client sends NOOP; once NOOP is
    // at the agent, the service answers the probe.
    QObject::connect(
        &m_service->peer(), &FakeHttpPeer::requestReceived, &client.socket(),
        [&](int index) {
            const FakeHttpPeer::Request probe = m_service->peer().requests().at(index);
            QObject::connect(
                &m_agent->wskPop, &Winsock::DataArrival, &client.socket(),
                [&, probe] {
                    busyWhenNoopArrived = m_agent->session->IsBusy();
                    QTimer::singleShot(0, &client.socket(), [this, probe] {
                        m_service->peer().resumeStalled(m_service->contractAnswer(probe));
                    });
                },
                Qt::SingleShotConnection);
            client.send("NOOP\r\n");
        },
        Qt::SingleShotConnection);
    m_service->stallNext(Kind::Probe);
    QTimer::singleShot(0, &client.socket(), [&] {
        m_agent->session->ConnStatus(QStringLiteral("someone@zorvane.test"));
        order << QStringLiteral("other operation done");
    });

    QCOMPARE(client.readLine(), QByteArray("+OK nothing done\r\n"));
    QVERIFY(busyWhenNoopArrived);
    QCOMPARE(order, (QStringList{QStringLiteral("other operation done"), QStringLiteral("noop answered")}));
}

// The client leaves while its PASS waits for the service; the watchdog
// frees the port and the next client connects before the login returns.
// That login's reply and its logged-in state belong to nobody now.
void tst_PopFaults::nextClientGetsNothingOfTheLastOne()
{
    LineClient first;
    QVERIFY(first.connectTo(m_agent->pop3Port()));
    first.readLine();
    QCOMPARE(first.command("USER user"), QByteArray("+OK password required\r\n"));

    LineClient next;
    QTimer watch; // looks for the dropped connection while the login waits
    watch.setInterval(10);
    bool loginResumed = false;
    FakeHttpPeer::Request login; // the stalled one
    QObject::connect(&watch, &QTimer::timeout, &next.socket(), [&] {
        if (m_agent->wskPop.State() != Winsock::sckClosing)
            return;
        watch.stop();
        m_agent->watchdog->CheckSockets();
        QObject::connect(&next.socket(), &QTcpSocket::readyRead, &next.socket(), [&] {
            if (!next.pending().contains("+OK Zorvane Welcome\r\n") || loginResumed)
                return;
            loginResumed = m_service->peer().resumeStalled(m_service->contractAnswer(login));
        });
        next.socket().connectToHost(QHostAddress::LocalHost, m_agent->pop3Port());
    });
    QObject::connect(&m_service->peer(), &FakeHttpPeer::requestReceived, &first.socket(), [&](int index) {
        if (m_service->peer().requests().at(index).path() != "/dav/")
            return;
        login = m_service->peer().requests().at(index);
        first.abort();
        watch.start();
    });
    m_service->stallNext(Kind::Login);
    first.send("PASS secret\r\n");

    QTRY_VERIFY_WITH_TIMEOUT(loginResumed && !m_agent->session->IsBusy(), LineClient::ReplyTimeoutMs);
    QCOMPARE(next.readLine(), QByteArray("+OK Zorvane Welcome\r\n"));
    QCOMPARE(next.command("STAT"), QByteArray("-ERR authenticate first\r\n"));
    QVERIFY(next.takeAll().isEmpty());
    QCOMPARE(m_agent->pop->State(), PopState::Greeted);
}

// A download that outlasts the idle limit is the agent's work, not the
// client's silence: the message arrives whole, and the clock starts only
// once it has gone out.
void tst_PopFaults::slowDownloadIsNotIdleness()
{
    constexpr int IdleLimitMs = 100;
    m_service->setFault(Kind::Fetch, FakeHttpPeer::silence());
    LineClient client;
    login(client);
    m_agent->pop->SetRetrieveInterval(20);
    m_agent->pop->SetIdleTimeout(IdleLimitMs);
    const QByteArray keepAlive("X-zorvane: busy...\r\n");

    client.send("RETR 2\r\n");
    // Twenty keep-alive ticks of 20 ms: four times the idle limit.
    QVERIFY(client.waitUntil([&] { return client.pending().count(keepAlive) >= 20 || client.closedByPeer(); }));
    QVERIFY(!client.closedByPeer());
    QVERIFY(m_agent->pop->IsRetrieving());

    QVERIFY(m_service->peer().resumeStalled(FakeHttpPeer::reply(200, "OK", m_service->messages().at(1))));
    QVERIFY(client.waitForClose());
    const QByteArray all = client.takeAll();
    const QByteArray idleReply("-ERR idle for too long, closing connection\r\n");
    QVERIFY(all.endsWith("\r\n.\r\n" + idleReply));
    const auto [status, text] = splitRetrieve(all.chopped(idleReply.size()));
    QCOMPARE(status, QByteArray("+OK 50001\r\n"));
    QVERIFY(text == m_service->messages().at(1));
    QVERIFY(m_agent->listensAgain());
    QCOMPARE(m_agent->state.TrayData.tip(), TrayStatus::Idle);
    QVERIFY(!m_agent->session->IsBusy());
}

// A client that sends command after command without reading a reply: the
// replies it leaves unread stop growing at their limit, its further lines
// are held up to theirs, and then the connection is closed and the port
// listens again at once.
void tst_PopFaults::clientThatNeverReadsIsClosed()
{
    LineClient client;
    login(client);
    client.socket().setReadBufferSize(4096);                                    // reads no more than this
    constexpr qint64 QueueLimit = MessageDelivery::MaxQueuedToClientBytes + 64; // one reply beyond the limit
    qint64 mostQueued = 0;
    qint64 agentSent = 0; // replies the system took from the agent
    const auto noteQueued = [&] { mostQueued = qMax(mostQueued, m_agent->wskPop.BytesToWrite()); };
    QObject::connect(&m_agent->wskPop, &Winsock::DataArrival, &client.socket(), noteQueued);
    QObject::connect(&m_agent->wskPop, &Winsock::SendProgress, &client.socket(), [&](qint64 bytesSent, qint64) {
        agentSent += bytesSent;
        noteQueued();
    });
    const QString closedLine =
        QStringLiteral("POP3-ERR: Too much input without waiting for replies; connection closed.");
    const auto closed = [&] { return m_agent->screenLog().contains(closedLine); };

    // Command by command the agent answers until the client's unread
    // replies reach their limit; from there on its lines are held. CAPA has
    // a long reply, so the system's buffers fill soon.
    const QByteArray command("CAPA\r\n");
    const QByteArray commands = command.repeated(10000);
    const qint64 replyBytes = PopInterpreter::CapabilityList.size();
    constexpr qint64 MostSent = 8 * 1024 * 1024; // many times what the agent may hold
    qint64 sent = 0;
    const auto answeredOrHeld = [&] {
        noteQueued();
        if (closed() || mostQueued > QueueLimit)
            return true;
        const bool taken = client.socket().bytesToWrite() == 0;
        const bool held = m_agent->wskPop.BytesToWrite() > QueueLimit - 64;
        return taken && (held || agentSent + m_agent->wskPop.BytesToWrite() >= replyBytes * (sent / command.size()));
    };
    while (!closed() && sent < MostSent && mostQueued <= QueueLimit) {
        client.send(commands);
        sent += commands.size();
        QTRY_VERIFY_WITH_TIMEOUT(answeredOrHeld(), LineClient::ReplyTimeoutMs);
    }
    QVERIFY2(mostQueued <= QueueLimit, qPrintable(QStringLiteral("%1 bytes of replies queued").arg(mostQueued)));
    QVERIFY2(closed(), qPrintable(QStringLiteral("%1 bytes sent, connection still open").arg(sent)));
    QVERIFY(mostQueued > MessageDelivery::MaxQueuedToClientBytes / 2); // the replies did pile up
    QVERIFY(m_agent->listensAgain());
    QCOMPARE(m_agent->pop->State(), PopState::Greeted);

    LineClient next;
    QVERIFY(next.connectTo(m_agent->pop3Port()));
    QCOMPARE(next.readLine(), QByteArray("+OK Zorvane Welcome\r\n"));
}

void tst_PopFaults::clientLeavingFreesThePortAtOnce_data()
{
    QTest::addColumn<QByteArray>("lastCommand");
    QTest::newRow("after a reply") << QByteArray("NOOP");
    QTest::newRow("during a large download") << QByteArray("RETR 2");
}

// A client that closes without QUIT leaves nothing to wait for: the port
// listens again without the watchdog (there is none here), and a download
// for it is cancelled.
void tst_PopFaults::clientLeavingFreesThePortAtOnce()
{
    QFETCH(QByteArray, lastCommand);
    m_agent = std::make_unique<TestAgent>(m_env->path(QStringLiteral("config/Zorvane/faults%1.ini").arg(++m_runs)),
                                          m_service->serviceUrl(), m_service->altServiceUrl(),
                                          TestAgent::listingAll(false, false), TestAgent::withoutWatchdog());
    m_service->setFault(Kind::Fetch, FakeHttpPeer::silence());
    LineClient client;
    login(client);
    const QByteArray firstLine = client.command(lastCommand);
    QVERIFY(firstLine.startsWith("+OK"));
    QSignalSpy serviceConnectionsClosed(&m_service->peer(), &FakeHttpPeer::connectionClosed);
    client.abort();

    QVERIFY(m_agent->listensAgain());
    QCOMPARE(m_agent->pop->State(), PopState::Greeted);
    QVERIFY(!m_agent->pop->IsRetrieving());
    QVERIFY(!m_agent->session->IsBusy());
    if (lastCommand.startsWith("RETR"))
        QVERIFY(serviceConnectionsClosed.count() > 0 || serviceConnectionsClosed.wait());
    LineClient next;
    QVERIFY(next.connectTo(m_agent->pop3Port()));
    QCOMPARE(next.readLine(), QByteArray("+OK Zorvane Welcome\r\n"));
    QCOMPARE(next.command("USER user"), QByteArray("+OK password required\r\n"));
}

namespace {

// The most the agent may have queued towards a client at any moment during
// a download: the limit, and one window's worth of text beyond it (stuffed,
// a line "." grows to "..").
constexpr qint64 MostQueuedDuringDownload =
    MessageDelivery::MaxQueuedToClientBytes + 2 * MessageDelivery::ReceiveWindowBytes;
const QByteArray LargeText = messageOfSize(16 * 1024 * 1024, "large", ".\r\n..\r\n");

// Notes the most the agent has queued towards its client, looking at every
// turn of the event loop.
class QueueWatch
{
public:
    explicit QueueWatch(Winsock &socket)
    {
        m_turns.setInterval(0);
        QObject::connect(&m_turns, &QTimer::timeout, &m_turns,
                         [this, &socket] { m_most = qMax(m_most, socket.BytesToWrite()); });
        m_turns.start();
    }
    qint64 most() const { return m_most; }

private:
    QTimer m_turns;
    qint64 m_most = 0;
};

} // namespace

// A client that reads a large message slowly gets it whole and unchanged,
// while the agent never queues much more than its limit towards it: the
// download waits for the client instead.
void tst_PopFaults::slowReaderGetsTheMessageAtItsPace()
{
    m_service->setMessage(1, LargeText);
    LineClient client;
    logIn(client);
    QCOMPARE(client.command("STAT"), "+OK 2 " + QByteArray::number(50000 + LargeText.size()) + "\r\n");
    // A small receive window of its own and reading in small pieces: the
    // agent's side fills up long before the message is through.
    client.socket().setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 64 * 1024);
    client.socket().setReadBufferSize(64 * 1024);
    QueueWatch queue(m_agent->wskPop);
    QByteArray received;
    QTimer reader;
    reader.setInterval(2);
    QObject::connect(&reader, &QTimer::timeout, &client.socket(), [&] { received += client.socket().read(32 * 1024); });
    client.send("RETR 2\r\n");
    reader.start();
    QTRY_VERIFY_WITH_TIMEOUT(received.endsWith("\r\n.\r\n") || client.closedByPeer(), 120000);
    reader.stop();

    const auto [status, text] = splitRetrieve(received);
    QCOMPARE(status, "+OK " + QByteArray::number(LargeText.size()) + "\r\n");
    QVERIFY(text == LargeText);
    QVERIFY2(queue.most() <= MostQueuedDuringDownload, qPrintable(QString::number(queue.most())));
    QVERIFY2(queue.most() >= MessageDelivery::MaxQueuedToClientBytes, "the client never fell behind");
    QCOMPARE(client.command("NOOP"), QByteArray("+OK nothing done\r\n"));
}

// The client stops reading in the middle of a large message and leaves:
// the download that waits for it is cancelled, nothing more of it is sent,
// and the next client is served.
void tst_PopFaults::slowReaderLeavingCancelsTheDownload()
{
    m_service->setMessage(1, LargeText);
    LineClient client;
    logIn(client);
    client.socket().setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 64 * 1024);
    client.socket().setReadBufferSize(64 * 1024);
    client.send("RETR 2\r\n");
    QTRY_VERIFY_WITH_TIMEOUT(m_agent->wskPop.BytesToWrite() >= MessageDelivery::MaxQueuedToClientBytes, 60000);
    QVERIFY(m_agent->pop->IsRetrieving());
    const int downloadConnection = m_service->peer().requests().last().connection;
    QSignalSpy closed(&m_service->peer(), &FakeHttpPeer::connectionClosed);
    client.abort();

    QVERIFY(m_agent->listensAgain());
    QVERIFY(!m_agent->pop->IsRetrieving());
    QVERIFY(!m_agent->session->IsBusy());
    QTRY_VERIFY(std::any_of(closed.cbegin(), closed.cend(),
                            [&](const QList<QVariant> &args) { return args.at(0).toInt() == downloadConnection; }));
    QCOMPARE(m_agent->wskPop.BytesToWrite(), 0);
    QCOMPARE(m_agent->state.TrayData.tip(), TrayStatus::Idle);

    m_service->setMessage(1, messageOfSize(60000, "next"));
    LineClient next;
    logIn(next);
    const auto [status, text] = splitRetrieve(next.multiLineCommand("RETR 2"));
    QCOMPARE(status, QByteArray("+OK 60000\r\n"));
    QVERIFY(text == m_service->messages().at(1));
}

QTEST_GUILESS_MAIN(tst_PopFaults)
#include "tst_PopFaults.moc"
