#include "ProcNetTcpTable.h"
#include "SocketOwner.h"

#include <QBuffer>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>

namespace {

constexpr int WaitMs = 10000;
constexpr quint32 OtherUser = 65534; // nobody

enum class Way { Either, Kernel, Tables };
// The clients of this process whose sockets must be found.
enum class Client { IPv4, IPv6, DualStackOverIPv4 };

} // namespace

Q_DECLARE_METATYPE(Way)
Q_DECLARE_METATYPE(Client)
Q_DECLARE_METATYPE(SocketOwner::Outcome)

namespace {

SocketOwner::Answer ask(Way way, const ConnectionAddresses &connection)
{
    switch (way) {
    case Way::Kernel:
        return SocketOwner::AskKernel(connection);
    case Way::Tables:
        return SocketOwner::ReadProcTables(connection);
    case Way::Either:
        break;
    }
    return SocketOwner::OfPeer(connection);
}

const std::pair<const char *, Way> Ways[] = {
    {"kernel or tables", Way::Either},
    {"kernel diagnostics", Way::Kernel},
    {"/proc tables", Way::Tables},
};

void addWayRows()
{
    QTest::addColumn<Way>("way");
    for (const auto &[name, way] : Ways)
        QTest::newRow(name) << way;
}

// The listening side of a loopback connection; the pair is read from the
// accepted socket, as the agent's listener reads it.
class Listener
{
public:
    bool listen(const QHostAddress &address) { return m_server.listen(address, 0); }
    quint16 port() const { return m_server.serverPort(); }

    QTcpSocket *takeConnection()
    {
        if (!m_server.hasPendingConnections() && !m_server.waitForNewConnection(WaitMs))
            return nullptr;
        m_accepted.reset(m_server.nextPendingConnection());
        return m_accepted.get();
    }

    ConnectionAddresses addresses() const
    {
        return {m_accepted->localAddress(), m_accepted->localPort(), m_accepted->peerAddress(), m_accepted->peerPort()};
    }

private:
    QTcpServer m_server;
    std::unique_ptr<QTcpSocket> m_accepted;
};

// A client of this process; a dual-stack one is an IPv6 socket that
// reaches the IPv4 listener through an IPv4-mapped address, so its socket
// has mapped ends and sits in the IPv6 table.
class OwnClient
{
public:
    ~OwnClient()
    {
        if (m_dualStack >= 0)
            ::close(m_dualStack);
    }

    // False when this machine cannot make a client of that kind.
    bool connectTo(Client kind, quint16 port)
    {
        if (kind != Client::DualStackOverIPv4) {
            m_socket.connectToHost(kind == Client::IPv6 ? QHostAddress::LocalHostIPv6 : QHostAddress::LocalHost, port);
            return m_socket.waitForConnected(WaitMs);
        }
        m_dualStack = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (m_dualStack < 0)
            return false;
        sockaddr_in6 mapped{};
        mapped.sin6_family = AF_INET6;
        mapped.sin6_port = htons(port);
        const Q_IPV6ADDR loopback = QHostAddress(QStringLiteral("::ffff:127.0.0.1")).toIPv6Address();
        std::memcpy(&mapped.sin6_addr, loopback.c, sizeof loopback.c);
        return ::connect(m_dualStack, reinterpret_cast<const sockaddr *>(&mapped), sizeof mapped) == 0;
    }

private:
    QTcpSocket m_socket;
    int m_dualStack = -1;
};

QByteArray tableOf(ProcNetTcpTable::Family family)
{
    QFile table(family == ProcNetTcpTable::Family::IPv4 ? QStringLiteral("/proc/net/tcp")
                                                        : QStringLiteral("/proc/net/tcp6"));
    return table.open(QIODevice::ReadOnly) ? table.readAll() : QByteArray();
}

// A row as the kernel writes it, for the socket with the given own and far
// ends, state and owner.
QByteArray row(const QByteArray &own, const QByteArray &far, const char *state, const char *uid)
{
    return "   7: " + own + ' ' + far + ' ' + state + " 00000000:00000000 00:00000000 00000000 " + uid
        + "        0 4242 1 0000000000000000 20 4 30 10 -1\n";
}

} // namespace

class tst_SocketOwner : public QObject
{
    Q_OBJECT

private slots:
    void a_client_of_this_process_is_ours_data();
    void a_client_of_this_process_is_ours();
    void another_users_client_is_named_data() { addWayRows(); }
    void another_users_client_is_named();
    void a_connection_that_has_ended_is_nobodys_data();
    void a_connection_that_has_ended_is_nobodys();
    void an_incomplete_pair_is_never_anybodys();

    void endpoint_text_is_the_kernels_own();
    void table_rows_data();
    void table_rows();
};

void tst_SocketOwner::a_client_of_this_process_is_ours_data()
{
    QTest::addColumn<Client>("client");
    QTest::addColumn<Way>("way");
    const std::pair<const char *, Client> clients[] = {
        {"IPv4", Client::IPv4},
        {"IPv6", Client::IPv6},
        {"dual-stack over IPv4", Client::DualStackOverIPv4},
    };
    for (const auto &[clientName, client] : clients) {
        for (const auto &[wayName, way] : Ways)
            QTest::addRow("%s, %s", clientName, wayName) << client << way;
    }
}

void tst_SocketOwner::a_client_of_this_process_is_ours()
{
    QFETCH(Client, client);
    QFETCH(Way, way);
    Listener listener;
    const bool v6 = client == Client::IPv6;
    if (!listener.listen(v6 ? QHostAddress::LocalHostIPv6 : QHostAddress::LocalHost) && v6)
        QSKIP("no IPv6 loopback on this machine");
    OwnClient own;
    if (!own.connectTo(client, listener.port()) && client != Client::IPv4)
        QSKIP("no IPv6 sockets on this machine");
    QVERIFY(listener.takeConnection());

    const SocketOwner::Answer owner = ask(way, listener.addresses());
    QCOMPARE(owner.outcome, SocketOwner::Outcome::Found);
    QCOMPARE(owner.uid, SocketOwner::CurrentUser());
    QVERIFY(owner.reason.isEmpty());
}

// The other end belongs to another user, our end to us: the answer must be
// about the other end.
void tst_SocketOwner::another_users_client_is_named()
{
    QFETCH(Way, way);
    if (::geteuid() != 0)
        QSKIP("running a client as another user needs root");
    const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
    const QString bash = QStandardPaths::findExecutable(QStringLiteral("bash"));
    if (setpriv.isEmpty() || bash.isEmpty())
        QSKIP("setpriv or bash is not installed");
    Listener listener;
    QVERIFY(listener.listen(QHostAddress::LocalHost));

    // The client holds its connection until its input ends.
    QProcess client;
    client.start(setpriv,
                 {QStringLiteral("--reuid=%1").arg(OtherUser), QStringLiteral("--regid=%1").arg(OtherUser),
                  QStringLiteral("--clear-groups"), bash, QStringLiteral("-c"),
                  QStringLiteral("exec 3<>/dev/tcp/127.0.0.1/%1 && read line").arg(listener.port())});
    QVERIFY(client.waitForStarted(WaitMs));
    QVERIFY(listener.takeConnection());

    const SocketOwner::Answer owner = ask(way, listener.addresses());
    QCOMPARE(owner.outcome, SocketOwner::Outcome::Found);
    QCOMPARE(owner.uid, OtherUser);

    client.closeWriteChannel();
    QVERIFY(client.waitForFinished(WaitMs));
}

void tst_SocketOwner::a_connection_that_has_ended_is_nobodys_data()
{
    QTest::addColumn<bool>("reset");
    QTest::addColumn<Way>("way");
    for (const auto &[wayName, way] : Ways) {
        QTest::addRow("reset, %s", wayName) << true << way;
        QTest::addRow("closed, %s", wayName) << false << way;
    }
}

// A client that reset its connection before it was looked at has no
// socket left. One that closed first waits in TIME_WAIT, where the kernel
// reports uid 0: were that taken for an owner, a root agent would serve any
// user whose client had gone, and others would see root. Both are nobody's.
void tst_SocketOwner::a_connection_that_has_ended_is_nobodys()
{
    QFETCH(bool, reset);
    QFETCH(Way, way);
    Listener listener;
    QVERIFY(listener.listen(QHostAddress::LocalHost));
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, listener.port());
    QVERIFY(client.waitForConnected(WaitMs));
    QTcpSocket *accepted = listener.takeConnection();
    QVERIFY(accepted);
    const ConnectionAddresses addresses = listener.addresses();

    if (reset) {
        // Closing with a zero linger time resets the connection at once.
        const linger resetAtOnce{1, 0};
        QCOMPARE(::setsockopt(int(client.socketDescriptor()), SOL_SOCKET, SO_LINGER, &resetAtOnce, sizeof resetAtOnce),
                 0);
        client.abort();
        const SocketOwner::Answer owner = ask(way, addresses);
        QCOMPARE(owner.outcome, SocketOwner::Outcome::NoSuchSocket);
        QVERIFY(!owner.reason.isEmpty());
        return;
    }
    QSignalSpy peerClosed(accepted, &QTcpSocket::disconnected);
    client.disconnectFromHost();
    QVERIFY(peerClosed.wait(WaitMs));
    accepted->close();
    QTRY_COMPARE_WITH_TIMEOUT(ask(way, addresses).outcome, SocketOwner::Outcome::NoSuchSocket, WaitMs);
}

void tst_SocketOwner::an_incomplete_pair_is_never_anybodys()
{
    ConnectionAddresses missingPeer{QHostAddress::LocalHost, 110, QHostAddress(), 0};
    QCOMPARE(SocketOwner::OfPeer(missingPeer).outcome, SocketOwner::Outcome::NoSuchSocket);
    QCOMPARE(SocketOwner::OfPeer(ConnectionAddresses()).outcome, SocketOwner::Outcome::NoSuchSocket);
}

// The text form is checked against the kernel's tables: a listener of ours
// must show up with exactly that text as its own end.
void tst_SocketOwner::endpoint_text_is_the_kernels_own()
{
    QTcpServer v4;
    QVERIFY(v4.listen(QHostAddress::LocalHost, 0));
    const QByteArray v4Text =
        ProcNetTcpTable::EndpointText(ProcNetTcpTable::Family::IPv4, QHostAddress::LocalHost, v4.serverPort());
    QCOMPARE(v4Text.size(), 8 + 1 + 4);
    QVERIFY2(tableOf(ProcNetTcpTable::Family::IPv4).contains(": " + v4Text + " 00000000:0000 0A "), v4Text);
    QVERIFY(ProcNetTcpTable::EndpointText(ProcNetTcpTable::Family::IPv4, QHostAddress::LocalHostIPv6, 1).isEmpty());

    // An IPv4 connection of a dual-stack listener sits in the IPv6 table
    // with mapped addresses; our accepted end is found there by its pair.
    Listener dualStack;
    if (!dualStack.listen(QHostAddress::Any))
        QSKIP("no dual-stack sockets on this machine");
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, dualStack.port());
    QVERIFY(client.waitForConnected(WaitMs));
    QVERIFY(dualStack.takeConnection());
    const ConnectionAddresses seenByClient{client.localAddress(), client.localPort(), client.peerAddress(),
                                           client.peerPort()};
    QByteArray v6Table = tableOf(ProcNetTcpTable::Family::IPv6);
    QBuffer table(&v6Table);
    QVERIFY(table.open(QIODevice::ReadOnly));
    const SocketOwner::Answer acceptedEnd =
        ProcNetTcpTable::FindPeerSocket(table, ProcNetTcpTable::Family::IPv6, seenByClient);
    QCOMPARE(acceptedEnd.outcome, SocketOwner::Outcome::Found);
    QCOMPARE(acceptedEnd.uid, SocketOwner::CurrentUser());
}

void tst_SocketOwner::table_rows_data()
{
    using Family = ProcNetTcpTable::Family;
    const QHostAddress loopback = QHostAddress::LocalHost;
    const QByteArray agent = ProcNetTcpTable::EndpointText(Family::IPv4, loopback, 110);
    const QByteArray client = ProcNetTcpTable::EndpointText(Family::IPv4, loopback, 40000);
    const QByteArray otherClient =
        ProcNetTcpTable::EndpointText(Family::IPv4, QHostAddress(QStringLiteral("127.0.0.2")), 40000);
    const QByteArray nowhere = ProcNetTcpTable::EndpointText(Family::IPv4, QHostAddress::AnyIPv4, 0);
    const QByteArray header =
        "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n";
    const QByteArray agentsEnd = row(agent, client, "01", "0");

    QTest::addColumn<QByteArray>("table");
    QTest::addColumn<SocketOwner::Outcome>("outcome");
    QTest::addColumn<quint32>("uid");
    QTest::newRow("the client's end, established")
        << header + agentsEnd + row(client, agent, "01", "1000") << SocketOwner::Outcome::Found << quint32(1000);
    QTest::newRow("the client's end, closing down")
        << header + row(client, agent, "04", "1000") << SocketOwner::Outcome::Found << quint32(1000);
    QTest::newRow("only the agent's own end") << header + agentsEnd << SocketOwner::Outcome::NoSuchSocket << quint32(0);
    QTest::newRow("in TIME_WAIT, uid 0") << header + row(client, agent, "06", "0") << SocketOwner::Outcome::NoSuchSocket
                                         << quint32(0);
    QTest::newRow("a listener on the client's port")
        << header + row(client, nowhere, "0A", "1000") << SocketOwner::Outcome::NoSuchSocket << quint32(0);
    QTest::newRow("same ports, another address")
        << header + row(otherClient, agent, "01", "1000") << SocketOwner::Outcome::NoSuchSocket << quint32(0);
    QTest::newRow("an overlong line before the row")
        << header + QByteArray(3 * ProcNetTcpTable::MaxRowBytes, 'x') + "\n" + row(client, agent, "01", "1000")
        << SocketOwner::Outcome::Found << quint32(1000);
    QTest::newRow("the row cut short") << header + row(client, agent, "01", "").left(60)
                                       << SocketOwner::Outcome::NoSuchSocket << quint32(0);
    QTest::newRow("an unreadable uid") << header + row(client, agent, "01", "-x-") << SocketOwner::Outcome::QueryFailed
                                       << quint32(0);
    QTest::newRow("empty table") << QByteArray() << SocketOwner::Outcome::NoSuchSocket << quint32(0);
}

void tst_SocketOwner::table_rows()
{
    QFETCH(QByteArray, table);
    QFETCH(SocketOwner::Outcome, outcome);
    QFETCH(quint32, uid);
    QBuffer device(&table);
    QVERIFY(device.open(QIODevice::ReadOnly));
    const ConnectionAddresses connection{QHostAddress::LocalHost, 110, QHostAddress::LocalHost, 40000};
    const SocketOwner::Answer owner =
        ProcNetTcpTable::FindPeerSocket(device, ProcNetTcpTable::Family::IPv4, connection);
    QCOMPARE(owner.outcome, outcome);
    QCOMPARE(owner.uid, uid);
}

QTEST_GUILESS_MAIN(tst_SocketOwner)
#include "tst_SocketOwner.moc"
