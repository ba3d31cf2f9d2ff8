// Which connections the service's guard closes, and when, on a clock the
// test moves.

#include "ConnectionGuard.h"

#include <QTest>

class tst_ConnectionGuard : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void aFullPeerMakesRoomByItsSlowestHead();
    void connectionsBeingServedAreNeverTakenForRoom();
    void allPeersTogetherHaveALimit();
    void headsAndIdleConnectionsHaveTimeLimits();
    void aKeptAliveConnectionTimesItsNextHeadFromTheRequestLine();

private:
    ConnectionGuard::Limits m_limits;
    qint64 m_now = 0;
    QList<ConnectionGuard::Id> m_closed;
    std::unique_ptr<ConnectionGuard> m_guard;

    // Opens a connection the way the server does: admit, then opened.
    bool connect(ConnectionGuard::Id id, const QByteArray &peer)
    {
        if (!m_guard->admit(peer))
            return false;
        m_guard->opened(id, peer);
        return true;
    }
};

void tst_ConnectionGuard::init()
{
    m_limits = {};
    m_limits.maxConnections = 6;
    m_limits.maxPerPeer = 3;
    m_limits.headTimeLimitMs = 1000;
    m_limits.idleLimitMs = 5000;
    m_now = 100000;
    m_closed.clear();
    m_guard = std::make_unique<ConnectionGuard>(
        m_limits, [this](ConnectionGuard::Id id) { m_closed.append(id); }, [this] { return m_now; });
}

void tst_ConnectionGuard::aFullPeerMakesRoomByItsSlowestHead()
{
    QVERIFY(connect(1, "a"));
    m_now += 10;
    QVERIFY(connect(2, "a"));
    m_now += 10;
    QVERIFY(connect(3, "a"));
    m_guard->headComplete(1); // served, then idle
    m_guard->answerDone(1);
    QVERIFY(m_closed.isEmpty());

    // A fourth: the connection waiting longest for its head goes, not the
    // idle one that has been served.
    QVERIFY(connect(4, "a"));
    QCOMPARE(m_closed, QList<ConnectionGuard::Id>{2});
    QCOMPARE(m_guard->count(), 3);
    // Another peer is not touched by a's limit.
    QVERIFY(connect(5, "b"));
    QCOMPARE(m_closed.size(), 1);
    // The closed one leaves for good; its late notice changes nothing.
    m_guard->closed(2);
    QCOMPARE(m_guard->count(), 4);
}

void tst_ConnectionGuard::connectionsBeingServedAreNeverTakenForRoom()
{
    for (ConnectionGuard::Id id = 1; id <= 3; ++id) {
        QVERIFY(connect(id, "a"));
        m_guard->headComplete(id);
    }
    QVERIFY(!connect(4, "a"));
    QVERIFY(m_closed.isEmpty());
    // Once one is idle again, it makes room.
    m_guard->answerDone(3);
    QVERIFY(connect(5, "a"));
    QCOMPARE(m_closed, QList<ConnectionGuard::Id>{3});
}

void tst_ConnectionGuard::allPeersTogetherHaveALimit()
{
    const QList<QByteArray> peers{"a", "b", "c", "d", "e", "f"};
    for (ConnectionGuard::Id id = 1; id <= 6; ++id) {
        m_now += 10;
        QVERIFY(connect(id, peers.at(int(id) - 1)));
    }
    m_guard->headComplete(1);
    QVERIFY(connect(7, "g"));
    QCOMPARE(m_closed, QList<ConnectionGuard::Id>{2}); // the oldest head of anyone, not the one being served
    QCOMPARE(m_guard->count(), 6);
}

void tst_ConnectionGuard::headsAndIdleConnectionsHaveTimeLimits()
{
    QVERIFY(connect(1, "a")); // trickles its head
    QVERIFY(connect(2, "a")); // served for a long time
    QVERIFY(connect(3, "a")); // idle after its answer
    m_guard->headComplete(2);
    m_guard->headComplete(3);
    m_guard->answerDone(3);
    QCOMPARE(m_guard->msUntilNextLimit(), m_limits.headTimeLimitMs);

    m_now += m_limits.headTimeLimitMs - 1;
    m_guard->sweep();
    QVERIFY(m_closed.isEmpty());
    QCOMPARE(m_guard->msUntilNextLimit(), 1);
    m_now += 1;
    m_guard->sweep();
    QCOMPARE(m_closed, QList<ConnectionGuard::Id>{1});
    m_guard->sweep(); // said once
    QCOMPARE(m_closed.size(), 1);

    m_now += m_limits.idleLimitMs;
    m_guard->sweep();
    QCOMPARE(m_closed, (QList<ConnectionGuard::Id>{1, 3}));
    QCOMPARE(m_guard->msUntilNextLimit(), -1); // only the served one is left, and it has no limit here
}

void tst_ConnectionGuard::aKeptAliveConnectionTimesItsNextHeadFromTheRequestLine()
{
    QVERIFY(connect(1, "a"));
    // A new connection's request line does not restart its clock: a head
    // trickled from the start is timed from the acceptance.
    m_now += 600;
    m_guard->requestLineSeen(1);
    m_now += 400;
    m_guard->sweep();
    QCOMPARE(m_closed, QList<ConnectionGuard::Id>{1});

    QVERIFY(connect(2, "a"));
    m_guard->headComplete(2);
    m_guard->answerDone(2);
    m_now += 4000; // idle, within its limit
    m_guard->requestLineSeen(2);
    m_now += 999;
    m_guard->sweep();
    QCOMPARE(m_closed.size(), 1);
    m_now += 1;
    m_guard->sweep();
    QCOMPARE(m_closed, (QList<ConnectionGuard::Id>{1, 2}));
}

QTEST_GUILESS_MAIN(tst_ConnectionGuard)
#include "tst_ConnectionGuard.moc"
