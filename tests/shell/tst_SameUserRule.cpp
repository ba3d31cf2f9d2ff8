#include "SameUserRule.h"
#include "Winsock.h"
#include "modMain.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

constexpr int WaitMs = 10000;

// A listener with one announced request from a loopback client, not yet
// accepted: what a front end holds when it applies the rule.
class PendingRequest
{
public:
    bool open()
    {
        m_listener.SetLocalPort(0);
        if (!m_listener.Listen())
            return false;
        QSignalSpy requests(&m_listener, &Winsock::ConnectionRequest);
        m_client.connectToHost(QHostAddress::LocalHost, m_listener.LocalPort());
        if (!requests.wait(WaitMs) && requests.isEmpty())
            return false;
        m_id = requests.first().first().value<qintptr>();
        m_listener.Close(); // as the front ends do before they decide
        return m_client.waitForConnected(WaitMs);
    }
    Winsock &listener() { return m_listener; }
    qintptr id() const { return m_id; }
    quint16 clientPort() const { return m_client.localPort(); }

private:
    Winsock m_listener;
    QTcpSocket m_client;
    qintptr m_id = 0;
};

// Stands in for the system's socket tables and remembers what it was asked.
struct OwnerStandIn
{
    SocketOwner::Answer answer;
    QList<ConnectionAddresses> asked;

    SameUserRule::OwnerLookup lookup()
    {
        return [this](const ConnectionAddresses &connection) {
            asked << connection;
            return answer;
        };
    }
};

SocketOwner::Answer ownedBy(quint32 uid)
{
    return {SocketOwner::Outcome::Found, uid, QString()};
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class tst_SameUserRule : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void own_user_is_admitted_and_others_are_not();
    void the_lookup_gets_the_requests_exact_pair();
    void option_off_admits_without_asking();
    void unknown_owner_is_refused_and_explained_once_per_kind();
    void debug_log_records_the_owners_uid();
    void a_system_that_cannot_tell_is_announced_once_and_admits();
    void a_request_of_this_process_is_ours_by_the_real_lookup();

private:
    QTemporaryDir m_temp;
};

void tst_SameUserRule::initTestCase()
{
    QVERIFY(m_temp.isValid());
    qputenv("TMPDIR", QFile::encodeName(m_temp.path()));
}

void tst_SameUserRule::own_user_is_admitted_and_others_are_not()
{
    modMain state;
    OwnerStandIn owner;
    state.SameUser.SetOwnerLookup(owner.lookup(), true);
    PendingRequest request;
    QVERIFY(request.open());

    owner.answer = ownedBy(SocketOwner::CurrentUser());
    QVERIFY(state.SameUser.Admits(state, request.listener(), request.id()));
    owner.answer = ownedBy(SocketOwner::CurrentUser() + 1);
    QVERIFY(!state.SameUser.Admits(state, request.listener(), request.id()));
    if (SocketOwner::CurrentUser() != 0) {
        // root's programs are other users too
        owner.answer = ownedBy(0);
        QVERIFY(!state.SameUser.Admits(state, request.listener(), request.id()));
    }
    // A plain refusal of a known user explains nothing: the front end logs it.
    QCOMPARE(state.Screen.text(), QString());
}

void tst_SameUserRule::the_lookup_gets_the_requests_exact_pair()
{
    modMain state;
    OwnerStandIn owner{ownedBy(SocketOwner::CurrentUser()), {}};
    state.SameUser.SetOwnerLookup(owner.lookup(), true);
    PendingRequest request;
    QVERIFY(request.open());

    QVERIFY(state.SameUser.Admits(state, request.listener(), request.id()));
    QCOMPARE(owner.asked.size(), 1);
    const ConnectionAddresses asked = owner.asked.first();
    QCOMPARE(asked.peerAddress, QHostAddress(QHostAddress::LocalHost));
    QCOMPARE(asked.peerPort, request.clientPort());
    QCOMPARE(asked.localAddress, QHostAddress(QHostAddress::LocalHost));
    QCOMPARE(asked.localPort, request.listener().LocalPort());

    // A request that is no longer there has no pair, and is not admitted
    // on the strength of an empty one.
    owner.answer = SocketOwner::OfPeer(ConnectionAddresses());
    QVERIFY(!state.SameUser.Admits(state, request.listener(), request.id() + 1000));
    QVERIFY(!owner.asked.last().isComplete());
}

void tst_SameUserRule::option_off_admits_without_asking()
{
    modMain state;
    OptionValues options;
    options.sameUserOnly = false;
    state.SetOptions(&options);
    OwnerStandIn owner{ownedBy(SocketOwner::CurrentUser() + 1), {}};
    state.SameUser.SetOwnerLookup(owner.lookup(), true);
    PendingRequest request;
    QVERIFY(request.open());

    QVERIFY(state.SameUser.Admits(state, request.listener(), request.id()));
    QVERIFY(owner.asked.isEmpty());
}

void tst_SameUserRule::unknown_owner_is_refused_and_explained_once_per_kind()
{
    modMain state;
    OwnerStandIn owner{SocketOwner::NoSocketWithThatPair(), {}};
    state.SameUser.SetOwnerLookup(owner.lookup(), true);
    PendingRequest request;
    QVERIFY(request.open());
    const QString gone = QStringLiteral("Cannot tell which user opened the connection from 127.0.0.1:%1: no socket "
                                        "on this computer has that address pair. While SameUserOnly is on, such "
                                        "connections are rejected.\r\n")
                             .arg(request.clientPort());

    QVERIFY(!state.SameUser.Admits(state, request.listener(), request.id()));
    QVERIFY(!state.SameUser.Admits(state, request.listener(), request.id()));
    QCOMPARE(state.Screen.text(), gone);

    owner.answer = {SocketOwner::Outcome::QueryFailed, 0, QStringLiteral("socket diagnostics: Permission denied")};
    QVERIFY(!state.SameUser.Admits(state, request.listener(), request.id()));
    QVERIFY(!state.SameUser.Admits(state, request.listener(), request.id()));
    QCOMPARE(state.Screen.text().count(QStringLiteral("Cannot tell which user")), 2);
    QVERIFY(state.Screen.text().contains(QStringLiteral(": socket diagnostics: Permission denied. While")));

    // An owner found again changes nothing of that.
    owner.answer = ownedBy(SocketOwner::CurrentUser());
    QVERIFY(state.SameUser.Admits(state, request.listener(), request.id()));
    QCOMPARE(state.Screen.text().count(QStringLiteral("Cannot tell which user")), 2);
}

void tst_SameUserRule::debug_log_records_the_owners_uid()
{
    const QString logFolder = m_temp.filePath(QStringLiteral("debug"));
    {
        modMain state;
        state.StartFileLog(true, logFolder);
        QVERIFY(state.LogToFile);
        OwnerStandIn owner{ownedBy(SocketOwner::CurrentUser() + 7), {}};
        state.SameUser.SetOwnerLookup(owner.lookup(), true);
        PendingRequest request;
        QVERIFY(request.open());
        QVERIFY(!state.SameUser.Admits(state, request.listener(), request.id()));
        owner.answer = {SocketOwner::Outcome::NoSuchSocket, 0, QStringLiteral("the connection is already closed")};
        QVERIFY(!state.SameUser.Admits(state, request.listener(), request.id()));
        owner.answer = {SocketOwner::Outcome::NoSuchSocket, 0, QStringLiteral("the connection is already closed")};
        QVERIFY(!state.SameUser.Admits(state, request.listener(), request.id()));
    }
    const QByteArray log = readFile(QDir(logFolder).filePath(QStringLiteral("Log.txt")));
    const QByteArray expectedOwner = QStringLiteral(" opened by uid %1; the agent runs as uid %2.\r\n")
                                         .arg(SocketOwner::CurrentUser() + 7)
                                         .arg(SocketOwner::CurrentUser())
                                         .toUtf8();
    QVERIFY2(log.contains("\tConnection from 127.0.0.1:") && log.contains(expectedOwner), log.constData());
    // Every unknown owner is in the file; the screen explained it once.
    QCOMPARE(log.count(": owner unknown, the connection is already closed.\r\n"), 2);
    QCOMPARE(log.count("\tMSG < Cannot tell which user"), 1);
}

void tst_SameUserRule::a_system_that_cannot_tell_is_announced_once_and_admits()
{
    const QString announcement =
        QStringLiteral("SameUserOnly cannot be applied: this system does not tell which "
                       "user opened a connection, so every user of this computer can connect.\r\n");
    modMain state;
    OwnerStandIn owner{ownedBy(SocketOwner::CurrentUser() + 1), {}};
    state.SameUser.SetOwnerLookup(owner.lookup(), false);
    state.SameUser.AnnounceAtStart(state);
    QCOMPARE(state.Screen.text(), announcement);
    PendingRequest request;
    QVERIFY(request.open());
    QVERIFY(state.SameUser.Admits(state, request.listener(), request.id()));
    QVERIFY(owner.asked.isEmpty());
    QCOMPARE(state.Screen.text(), announcement);

    // Nothing to announce where the option is off, or where the system can tell.
    OptionValues off;
    off.sameUserOnly = false;
    modMain quiet;
    quiet.SetOptions(&off);
    quiet.SameUser.SetOwnerLookup(owner.lookup(), false);
    quiet.SameUser.AnnounceAtStart(quiet);
    QCOMPARE(quiet.Screen.text(), QString());
    if (SocketOwner::IsSupported()) {
        modMain able;
        able.SameUser.AnnounceAtStart(able);
        QCOMPARE(able.Screen.text(), QString());
    }
}

void tst_SameUserRule::a_request_of_this_process_is_ours_by_the_real_lookup()
{
    if (!SocketOwner::IsSupported())
        QSKIP("this system cannot tell who opened a connection");
    modMain state;
    PendingRequest request;
    QVERIFY(request.open());
    QVERIFY(state.SameUser.Admits(state, request.listener(), request.id()));
    QVERIFY(request.listener().Accept(request.id()));
}

QTEST_GUILESS_MAIN(tst_SameUserRule)
#include "tst_SameUserRule.moc"
