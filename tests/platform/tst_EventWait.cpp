// The wait that lets events run: what ends it, and what it reports.
#include "EventWait.h"

#include <QTest>

#include <memory>

namespace {

// Emits on request, from the event loop.
class Source : public QObject
{
    Q_OBJECT
public:
    void emitSoon(int times = 1)
    {
        for (int i = 0; i < times; ++i)
            QTimer::singleShot(0, this, &Source::ping);
    }
signals:
    void ping();
};

// Longer than any of these tests takes; reaching it is a failure.
constexpr int LongWaitMs = 60000;

} // namespace

class tst_EventWait : public QObject
{
    Q_OBJECT
private slots:
    void doneAtOnceRunsNoLoop();
    void wakeUpEndsOnlyWhenDone();
    void endSignalEndsUndone();
    void destroyedSenderEndsTheWait();
    void timeLimitIsReported();
};

void tst_EventWait::doneAtOnceRunsNoLoop()
{
    Source source;
    int pings = 0;
    connect(&source, &Source::ping, this, [&] { ++pings; });
    source.emitSoon();
    EventWait wait([] { return true; });
    wait.wakeOn(&source, &Source::ping);
    QVERIFY(wait.run(LongWaitMs));
    QVERIFY(!wait.timedOut());
    QCOMPARE(pings, 0); // no event ran
    QTRY_COMPARE(pings, 1);
}

void tst_EventWait::wakeUpEndsOnlyWhenDone()
{
    Source source;
    int pings = 0;
    connect(&source, &Source::ping, this, [&] { ++pings; });
    // The first wake-up finds it not done yet, and the wait goes on.
    source.emitSoon(2);
    QVERIFY(EventWait::until(&source, &Source::ping, LongWaitMs, [&] { return pings >= 2; }));
}

void tst_EventWait::endSignalEndsUndone()
{
    Source waker;
    Source ender;
    ender.emitSoon();
    EventWait wait([] { return false; });
    wait.wakeOn(&waker, &Source::ping);
    wait.endOn(&ender, &Source::ping);
    QVERIFY(!wait.run(LongWaitMs));
    QVERIFY(!wait.timedOut());
}

void tst_EventWait::destroyedSenderEndsTheWait()
{
    auto source = std::make_unique<Source>();
    QTimer::singleShot(0, this, [&] { source.reset(); });
    EventWait wait([] { return false; });
    wait.wakeOn(source.get(), &Source::ping);
    QVERIFY(!wait.run(LongWaitMs));
    QVERIFY(!wait.timedOut());
    QVERIFY(!source);
}

void tst_EventWait::timeLimitIsReported()
{
    Source source;
    bool done = false;
    EventWait wait([&] { return done; });
    wait.wakeOn(&source, &Source::ping);
    QVERIFY(!wait.run(1));
    QVERIFY(wait.timedOut());
    // A later run that ends by being done no longer reports the time up.
    done = true;
    QVERIFY(wait.run(LongWaitMs));
    QVERIFY(!wait.timedOut());
}

QTEST_GUILESS_MAIN(tst_EventWait)
#include "tst_EventWait.moc"
