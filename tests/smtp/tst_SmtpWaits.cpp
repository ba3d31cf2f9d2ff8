// The SMTP side while the POP3 side holds the web mail session: held input
// is answered within the wait limit, a client that sends on without reading
// is dropped at once and the port listens again, and a dialogue that goes
// while it waits is never touched again. The service is a scripted peer
// whose answer to the POP3 side's request comes when the test lets it.
#include "FakeHttpPeer.h"
#include "SmtpBuffer.h"
#include "SmtpDialogue.h"
#include "SmtpTestRig.h"

namespace {

const QByteArray Greeting = "220 Zorvane Simple Mail Transfer Service Ready\r\n";
const QByteArray LocalError = "451 Local error in processing\r\n";

} // namespace

class tst_SmtpWaits : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void heldInputIsAnsweredWhenTheSessionStaysBusy();
    void clientSendingWithoutReadingIsDroppedAndThePortListens();
    void dialogueGoneWhileItWaits();

private:
    // The session's operation for the POP3 side, waiting for the peer until
    // the test resumes it.
    void holdSessionWhile(const std::function<void()> &duringTheWait);

    QTemporaryDir m_root;
    std::unique_ptr<FakeHttpPeer> m_peer;
    std::unique_ptr<TestAgent> m_agent;
};

void tst_SmtpWaits::initTestCase()
{
    QVERIFY(m_root.isValid());
    for (const char *name : {"XDG_CONFIG_HOME", "XDG_RUNTIME_DIR", "TMPDIR"}) {
        QVERIFY(QDir().mkpath(m_root.filePath(QString::fromLatin1(name))));
        qputenv(name, m_root.filePath(QString::fromLatin1(name)).toUtf8());
    }
}

void tst_SmtpWaits::init()
{
    m_peer = std::make_unique<FakeHttpPeer>();
    QVERIFY(m_peer->listen());
    m_agent = std::make_unique<TestAgent>(m_root.filePath(QStringLiteral("Zorvane.ini")), m_peer->url(), m_peer->url());
    QCOMPARE(m_agent->wskSmtp.State(), int(Winsock::sckListening));
}

void tst_SmtpWaits::cleanup()
{
    m_agent.reset();
    m_peer.reset();
}

void tst_SmtpWaits::holdSessionWhile(const std::function<void()> &duringTheWait)
{
    m_peer->enqueue(FakeHttpPeer::silence());
    const auto connection =
        QObject::connect(m_peer.get(), &FakeHttpPeer::requestReceived, m_peer.get(), [&](int index) {
            // Once the peer has taken up its silence.
            if (index == 0)
                QTimer::singleShot(0, m_peer.get(), duringTheWait);
        });
    m_agent->session->ConnStatus(SmtpDialogue::ConnectionCheckAddress(m_agent->session->MailDomain()));
    QObject::disconnect(connection);
}

void tst_SmtpWaits::heldInputIsAnsweredWhenTheSessionStaysBusy()
{
    QCOMPARE(m_agent->smtp->SessionWaitLimit(), SmtpDialogue::SessionWaitLimitMs);
    m_agent->smtp->SetSessionWaitLimit(300);
    LineClient client;
    QVERIFY(client.connectTo(m_agent->wskSmtp.LocalPort()));
    QCOMPARE(client.readLine(), Greeting);

    // HELO needs the session; it is answered while the session is still
    // busy, and only then is the POP3 side's request let go.
    QByteArray heldReply;
    holdSessionWhile([&] {
        client.socket().write("HELO tester\r\n");
        QObject::connect(&client.socket(), &QTcpSocket::readyRead, m_peer.get(), [&] {
            if (heldReply.isEmpty() && client.pending().contains("\r\n")) {
                heldReply = client.pending();
                m_peer->resumeStalled(FakeHttpPeer::reply(207, "Multi-Status"));
            }
        });
    });
    QCOMPARE(heldReply, LocalError);
    QVERIFY(m_agent->screen.contains(QStringLiteral("SMTP-ERR: The web mail session stayed busy; nothing done.")));
    QCOMPARE(m_agent->smtp->DialogueState(), 0);

    // With the session free the same command is served.
    client.takeAll();
    m_peer->enqueue(FakeHttpPeer::reply(207, "Multi-Status"));
    QCOMPARE(client.exchange("HELO tester\r\n"), QByteArray("250 Zorvane\r\n"));
    QCOMPARE(client.exchange("NOOP\r\n"), QByteArray("250 OK\r\n"));
}

void tst_SmtpWaits::clientSendingWithoutReadingIsDroppedAndThePortListens()
{
    LineClient client;
    QVERIFY(client.connectTo(m_agent->wskSmtp.LocalPort()));
    QCOMPARE(client.readLine(), Greeting);

    const QByteArray noops = QByteArray("NOOP\r\n").repeated(SmtpBuffer::MaxHeldInputBytes / 6 + 1024 * 1024 / 6);
    int portStateAtClose = -1;
    holdSessionWhile([&] {
        QObject::connect(&client.socket(), &QTcpSocket::disconnected, m_peer.get(), [&] {
            portStateAtClose = m_agent->wskSmtp.State();
            m_peer->resumeStalled(FakeHttpPeer::reply(207, "Multi-Status"));
        });
        client.socket().write(noops);
    });
    // Dropped while the session was still busy, and listening again then.
    QCOMPARE(portStateAtClose, int(Winsock::sckListening));
    QVERIFY(m_agent->screen.contains(
        QStringLiteral("SMTP-ERR: Too much input without waiting for replies; connection closed.")));
    QVERIFY(!client.pending().contains("250"));

    LineClient next;
    QVERIFY(next.connectTo(m_agent->wskSmtp.LocalPort()));
    QCOMPARE(next.readLine(), Greeting);
    QCOMPARE(next.exchange("NOOP\r\n"), QByteArray("250 OK\r\n"));
}

// The dialogue waits for the session inside a command (the log let the
// POP3 side in); it is destroyed meanwhile, and the wait ends with it.
void tst_SmtpWaits::dialogueGoneWhileItWaits()
{
    auto dialogue = std::make_unique<SmtpDialogue>(m_agent->state);
    QByteArray reply;
    holdSessionWhile([&] {
        QTimer::singleShot(0, m_peer.get(), [&] { dialogue.reset(); });
        reply = dialogue->HandleSmtpCommand("HELO tester\r\n");
        m_peer->resumeStalled(FakeHttpPeer::reply(207, "Multi-Status"));
    });
    QVERIFY(!dialogue);
    QCOMPARE(reply, LocalError);
}

QTEST_MAIN(tst_SmtpWaits)
#include "tst_SmtpWaits.moc"
