// The HTTP server in this process on a free port, with small limits, driven
// over raw sockets: what it reads of a request before it answers, how much
// of bodies it holds, and how it keeps serving when peers are slow.

#include "HttpServer.h"
#include "MailService.h"
#include "ServiceTestSupport.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace ServiceTest;

namespace {

constexpr int WaitMs = 20000; // generous upper bound; every wait ends as soon as its event comes
constexpr qint64 KiB = 1024;

const QByteArray DemoCredentials = basicAuthorization("demo", "demo");

// A submission body of exactly size bytes.
QByteArray submissionOf(qint64 size)
{
    const QByteArray head = "MAIL FROM:<demo@zorvane.test>\r\nRCPT TO:<ann@zorvane.test>\r\n\r\nSubject: s\r\n\r\n";
    return head + QByteArray(size - head.size(), 'x');
}

QByteArray postHead(qint64 length, const QByteArray &authorization = DemoCredentials)
{
    QByteArray head = "POST /mail/demo@zorvane.test/sendmsg HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Zorvane-Envelope: t\r\n"
                      "Content-Length: "
        + QByteArray::number(length) + "\r\n";
    if (!authorization.isEmpty())
        head += "Authorization: " + authorization + "\r\n";
    return head + "\r\n";
}

// One raw connection to the server.
class RawClient
{
public:
    explicit RawClient(quint16 port) { m_socket.connectToHost(QStringLiteral("127.0.0.1"), port); }

    bool connected()
    {
        return m_socket.state() == QAbstractSocket::ConnectedState || m_socket.waitForConnected(WaitMs);
    }
    void send(const QByteArray &bytes)
    {
        m_socket.write(bytes);
        m_socket.flush();
    }
    // The status line and headers of the next answer, and its body when it
    // has a Content-Length; empty when none came.
    QByteArray answer()
    {
        for (;;) {
            const qsizetype headEnd = m_received.indexOf("\r\n\r\n");
            if (headEnd >= 0) {
                const QRegularExpressionMatch length = QRegularExpression(QStringLiteral("(?i)content-length: *(\\d+)"))
                                                           .match(QString::fromLatin1(m_received.left(headEnd)));
                const qint64 total = headEnd + 4 + (length.hasMatch() ? length.captured(1).toLongLong() : 0);
                if (m_received.size() >= total) {
                    const QByteArray whole = m_received.left(total);
                    m_received.remove(0, total);
                    return whole;
                }
            }
            if (!m_socket.waitForReadyRead(WaitMs))
                return {};
            m_received += m_socket.readAll();
        }
    }
    // True once the server has closed the connection.
    bool closedByServer()
    {
        if (m_socket.state() == QAbstractSocket::UnconnectedState)
            return true;
        QSignalSpy disconnected(&m_socket, &QTcpSocket::disconnected);
        while (m_socket.state() != QAbstractSocket::UnconnectedState) {
            m_received += m_socket.readAll();
            if (!disconnected.wait(WaitMs))
                return false;
        }
        return true;
    }
    QByteArray unread() { return m_received + m_socket.readAll(); }
    QTcpSocket &socket() { return m_socket; }

private:
    QTcpSocket m_socket;
    QByteArray m_received;
};

} // namespace

class tst_HttpServer : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void credentialsAreCheckedBeforeTheBody_data();
    void credentialsAreCheckedBeforeTheBody();
    void anAnswerThatNeedsNoBodyIsGivenWithoutIt();
    void bodiesBeyondTheBudgetAreRefused();
    void aTrickledHeadIsCutOff();
    void aFullHouseStillLetsANewcomerIn();
    void longAnswersAreStreamed();

private:
    bool startServer(const HttpServer::Limits &limits);

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<MailService> m_service;
    std::unique_ptr<HttpServer> m_server;
};

void tst_HttpServer::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    QVERIFY(writeFile(m_dir->filePath(QStringLiteral("accounts")), "demo@zorvane.test demo\nann@zorvane.test annpw\n"));
    MailService::Settings settings;
    settings.dataDir = m_dir->path();
    m_service = std::make_unique<MailService>(settings);
}

void tst_HttpServer::cleanup()
{
    m_server.reset();
    m_service.reset();
    m_dir.reset();
}

bool tst_HttpServer::startServer(const HttpServer::Limits &limits)
{
    m_server = std::make_unique<HttpServer>(*m_service, false, limits);
    QString error;
    if (!m_server->listen("127.0.0.1", 0, &error) || !m_server->start(&error)) {
        qWarning() << error;
        return false;
    }
    return true;
}

void tst_HttpServer::credentialsAreCheckedBeforeTheBody_data()
{
    QTest::addColumn<QByteArray>("authorization");
    QTest::addColumn<QByteArray>("target");
    QTest::newRow("none") << QByteArray() << QByteArray("/mail/demo@zorvane.test/sendmsg");
    QTest::newRow("wrong password") << basicAuthorization("demo", "guess")
                                    << QByteArray("/mail/demo@zorvane.test/sendmsg");
    QTest::newRow("another account") << basicAuthorization("ann", "annpw")
                                     << QByteArray("/mail/demo@zorvane.test/sendmsg");
    QTest::newRow("made-up digest") << QByteArray("Digest username=\"demo\", realm=\"zorvane.test\", nonce=\"1.2.3\", "
                                                  "uri=\"/mail/demo@zorvane.test/sendmsg\", qop=auth, nc=00000001, "
                                                  "cnonce=\"c\", response=\"0\"")
                                    << QByteArray("/mail/demo@zorvane.test/sendmsg");
}

void tst_HttpServer::credentialsAreCheckedBeforeTheBody()
{
    QFETCH(QByteArray, authorization);
    QFETCH(QByteArray, target);
    QVERIFY(startServer({}));
    RawClient client(m_server->port());
    QVERIFY(client.connected());
    // Only the head: a body of 60 MiB is announced and never sent.
    QByteArray head = postHead(60 * 1024 * KiB, authorization);
    head.replace("/mail/demo@zorvane.test/sendmsg", target);
    client.send(head);
    const QByteArray answer = client.answer();
    QVERIFY2(answer.startsWith("HTTP/1.1 401"), answer.constData());
    QVERIFY(answer.contains("WWW-Authenticate: Digest "));
    QVERIFY(client.closedByServer());

    // The service goes on serving.
    RawClient next(m_server->port());
    QVERIFY(next.connected());
    next.send("PROPFIND /dav/?cmd=logoff HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    QVERIFY(next.answer().startsWith("HTTP/1.1 207"));
}

void tst_HttpServer::anAnswerThatNeedsNoBodyIsGivenWithoutIt()
{
    QVERIFY(startServer({}));
    RawClient client(m_server->port());
    QVERIFY(client.connected());
    client.send("POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 50000000\r\n\r\n");
    QVERIFY(client.answer().startsWith("HTTP/1.1 405"));
    QVERIFY(client.closedByServer());

    // A refusal of a request without a body keeps the connection.
    RawClient keeper(m_server->port());
    QVERIFY(keeper.connected());
    keeper.send("PROPFIND /dav/ HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    QVERIFY(keeper.answer().startsWith("HTTP/1.1 401"));
    keeper.send("PROPFIND /dav/ HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: " + DemoCredentials + "\r\n\r\n");
    QVERIFY(keeper.answer().startsWith("HTTP/1.1 207"));
}

void tst_HttpServer::bodiesBeyondTheBudgetAreRefused()
{
    HttpServer::Limits limits;
    limits.maxRequestBodyBytes = 500 * KiB;
    limits.maxBufferedBodyBytes = 600 * KiB;
    QVERIFY(startServer(limits));

    // One submission holds 400 KiB of the budget while its body trickles in.
    const QByteArray large = submissionOf(400 * KiB);
    RawClient first(m_server->port());
    QVERIFY(first.connected());
    first.send(postHead(large.size()) + large.left(100 * KiB));

    // Another announcing 300 KiB does not fit: refused at once, unread.
    RawClient second(m_server->port());
    QVERIFY(second.connected());
    second.send(postHead(300 * KiB));
    const QByteArray refused = second.answer();
    QVERIFY2(refused.startsWith("HTTP/1.1 503"), refused.constData());
    QVERIFY(refused.contains("Retry-After: "));
    QVERIFY(second.closedByServer());

    // What fits is taken meanwhile.
    RawClient third(m_server->port());
    QVERIFY(third.connected());
    const QByteArray small = submissionOf(150 * KiB);
    third.send(postHead(small.size()) + small);
    QVERIFY(third.answer().startsWith("HTTP/1.1 201"));

    first.send(large.mid(100 * KiB));
    QVERIFY(first.answer().startsWith("HTTP/1.1 201"));

    // Its bytes are given back once it is answered.
    RawClient fourth(m_server->port());
    QVERIFY(fourth.connected());
    const QByteArray again = submissionOf(300 * KiB);
    fourth.send(postHead(again.size()) + again);
    QVERIFY(fourth.answer().startsWith("HTTP/1.1 201"));
    QCOMPARE(filesIn(m_dir->path() + QStringLiteral("/mail/ann@zorvane.test/new")).size(), 3);

    // A body in chunks is counted as it grows, and dropped past the limit.
    RawClient chunked(m_server->port());
    QVERIFY(chunked.connected());
    chunked.send("POST /mail/demo@zorvane.test/sendmsg HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Zorvane-Envelope: t\r\n"
                 "Transfer-Encoding: chunked\r\nAuthorization: "
                 + DemoCredentials + "\r\n\r\n");
    const QByteArray chunk = QByteArray::number(100 * KiB, 16) + "\r\n" + QByteArray(100 * KiB, 'x') + "\r\n";
    for (int i = 0; i < 7 && chunked.socket().state() == QAbstractSocket::ConnectedState; ++i)
        chunked.send(chunk);
    QVERIFY(chunked.closedByServer());
    QCOMPARE(filesIn(m_dir->path() + QStringLiteral("/mail/ann@zorvane.test/new")).size(), 3);
}

void tst_HttpServer::aTrickledHeadIsCutOff()
{
    HttpServer::Limits limits;
    limits.connections.headTimeLimitMs = 300;
    QVERIFY(startServer(limits));
    RawClient slow(m_server->port());
    QVERIFY(slow.connected());
    slow.send("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n");
    // A header line every 50 ms keeps any idle time-out from running out.
    QTimer trickle;
    int line = 0;
    connect(&trickle, &QTimer::timeout, this, [&] { slow.send("X-Slow-" + QByteArray::number(++line) + ": 1\r\n"); });
    trickle.start(50);
    QVERIFY(slow.closedByServer());
    trickle.stop();
    QVERIFY(!slow.unread().startsWith("HTTP/1.1 200"));

    // A head sent at once is served as before.
    RawClient quick(m_server->port());
    QVERIFY(quick.connected());
    quick.send("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    QVERIFY(quick.answer().startsWith("HTTP/1.1 200"));
}

void tst_HttpServer::aFullHouseStillLetsANewcomerIn()
{
    HttpServer::Limits limits;
    limits.connections.maxPerPeer = 4;
    QVERIFY(startServer(limits));
    std::vector<std::unique_ptr<RawClient>> holders;
    for (int i = 0; i < 4; ++i) {
        holders.push_back(std::make_unique<RawClient>(m_server->port()));
        QVERIFY(holders.back()->connected());
        holders.back()->send("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n"); // a head never finished
    }
    // The agent's next connection from the same address is served at once;
    // the connection waiting longest for its head made room.
    RawClient agent(m_server->port());
    QVERIFY(agent.connected());
    agent.send("PROPFIND /dav/?cmd=logoff HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    QVERIFY(agent.answer().startsWith("HTTP/1.1 207"));
    QVERIFY(holders.front()->closedByServer());
    QCOMPARE(holders.at(1)->socket().state(), QAbstractSocket::ConnectedState);
}

void tst_HttpServer::longAnswersAreStreamed()
{
    QVERIFY(startServer({}));
    const QString inbox = m_dir->path() + QStringLiteral("/mail/demo@zorvane.test/new/");
    QByteArray message = "Subject: big\n\n";
    while (message.size() < 300 * KiB)
        message += "a line of the body, stored with a bare line feed\n";
    QVERIFY(writeFile(inbox + QStringLiteral("1.big"), message));
    QByteArray wire = message;
    wire.replace("\n", "\r\n");

    RawClient client(m_server->port());
    QVERIFY(client.connected());
    client.send("GET /mail/demo@zorvane.test/inbox/1.big HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: "
                + DemoCredentials + "\r\n\r\n");
    const QByteArray fetched = client.answer();
    QVERIFY(fetched.startsWith("HTTP/1.1 200"));
    QVERIFY(fetched.contains("Content-Length: " + QByteArray::number(wire.size()) + "\r\n"));
    QVERIFY(fetched.endsWith("\r\n\r\n" + wire));

    // A listing goes out in chunks, its length unknown at the start.
    client.send("PROPFIND /mail/demo@zorvane.test/inbox/ HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: "
                + DemoCredentials + "\r\n\r\n");
    QVERIFY(client.socket().waitForReadyRead(WaitMs));
    QByteArray listing = client.socket().readAll();
    while (!listing.endsWith("0\r\n\r\n") && client.socket().waitForReadyRead(WaitMs))
        listing += client.socket().readAll();
    QVERIFY(listing.startsWith("HTTP/1.1 207"));
    QVERIFY(listing.contains("Transfer-Encoding: chunked"));
    QVERIFY(listing.contains("<D:getcontentlength>" + QByteArray::number(wire.size()) + "</D:getcontentlength>"));
}

QTEST_GUILESS_MAIN(tst_HttpServer)
#include "tst_HttpServer.moc"
