// Calls made at the event loop's next turn: when they run, in what order,
// and what a call may do to itself and to others while it runs.
#include "NextTurnCall.h"

#include <QAbstractEventDispatcher>
#include <QEventLoop>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <memory>

namespace {

// Longer than any of these tests takes; reaching it is a failure.
constexpr int LongWaitMs = 60000;

// Runs the event loop until done() holds; false when the long limit passed.
bool runEventsUntil(const std::function<bool()> &done)
{
    QEventLoop loop;
    QTimer limit;
    limit.setSingleShot(true);
    bool limitReached = false;
    QObject::connect(&limit, &QTimer::timeout, &loop, [&] {
        limitReached = true;
        loop.exit(1);
    });
    limit.start(LongWaitMs);
    // Looked at on every turn, after the calls due then: nothing else
    // wakes the loop for us.
    const auto look = [&] {
        if (done())
            loop.exit(0);
    };
    QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance();
    const QMetaObject::Connection awake = QObject::connect(dispatcher, &QAbstractEventDispatcher::awake, &loop, look);
    const QMetaObject::Connection aboutToBlock =
        QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, &loop, look);
    const bool reached = done() || loop.exec() == 0;
    QObject::disconnect(awake);
    QObject::disconnect(aboutToBlock);
    // What was waited for may come only with the limit's own wake-up.
    return reached && !limitReached;
}

} // namespace

class tst_NextTurnCall : public QObject
{
    Q_OBJECT
private slots:
    void runsFromTheLoopOnceInRequestOrder();
    void callRequestedWhileCallsRunRunsWithoutAnotherEvent();
    void callRequestingItselfLetsEventsRun();
    void cancelledOrDeletedCallsDoNotRun();
    void callMayDeleteItselfAndRunEvents();
};

void tst_NextTurnCall::runsFromTheLoopOnceInRequestOrder()
{
    QList<char> ran;
    NextTurnCall a([&] { ran.append('a'); });
    NextTurnCall b([&] { ran.append('b'); });
    b.request();
    a.request();
    b.request(); // already requested: still one call, in its first place
    QVERIFY(ran.isEmpty());
    QVERIFY(a.isRequested() && b.isRequested());
    QTRY_COMPARE(ran, (QList<char>{'b', 'a'}));
    QVERIFY(!a.isRequested() && !b.isRequested());
    a.request();
    QTRY_COMPARE(ran, (QList<char>{'b', 'a', 'a'}));
}

// The loop must not go to sleep on a call requested by another call: no
// event would come to wake it.
void tst_NextTurnCall::callRequestedWhileCallsRunRunsWithoutAnotherEvent()
{
    int secondRuns = 0;
    bool secondRanInsideFirst = false;
    bool insideFirst = false;
    NextTurnCall second([&] {
        ++secondRuns;
        secondRanInsideFirst = insideFirst;
    });
    NextTurnCall first([&] {
        insideFirst = true;
        second.request();
        insideFirst = false;
    });
    first.request();
    QVERIFY(runEventsUntil([&] { return secondRuns > 0; }));
    QCOMPARE(secondRuns, 1);
    QVERIFY(!secondRanInsideFirst);
}

// A call that requests itself again every time must not keep the loop from
// handling other events.
void tst_NextTurnCall::callRequestingItselfLetsEventsRun()
{
    int runs = 0;
    std::unique_ptr<NextTurnCall> again;
    again = std::make_unique<NextTurnCall>([&] {
        ++runs;
        again->request();
    });
    again->request();
    bool timerFired = false;
    QTimer::singleShot(0, [&] { timerFired = true; });
    QVERIFY(runEventsUntil([&] { return timerFired; }));
    QVERIFY(runs > 0);
    again.reset(); // its request goes with it
}

void tst_NextTurnCall::cancelledOrDeletedCallsDoNotRun()
{
    int cancelledRuns = 0;
    int deletedRuns = 0;
    int deletedByAnotherRuns = 0;
    int laterRuns = 0;
    NextTurnCall cancelled([&] { ++cancelledRuns; });
    auto deleted = std::make_unique<NextTurnCall>([&] { ++deletedRuns; });
    auto deletedByAnother = std::make_unique<NextTurnCall>([&] { ++deletedByAnotherRuns; });
    NextTurnCall deleter([&] { deletedByAnother.reset(); });
    NextTurnCall later([&] { ++laterRuns; });
    cancelled.request();
    deleted->request();
    deleter.request();
    deletedByAnother->request();
    later.request();
    cancelled.cancel();
    QVERIFY(!cancelled.isRequested());
    deleted.reset();
    QTRY_COMPARE(laterRuns, 1);
    QCOMPARE(cancelledRuns, 0);
    QCOMPARE(deletedRuns, 0);
    QCOMPARE(deletedByAnotherRuns, 0);
}

// A call may end its own object, and may run events (as a handler that
// waits for the network does); calls requested meanwhile still run.
void tst_NextTurnCall::callMayDeleteItselfAndRunEvents()
{
    int innerRuns = 0;
    NextTurnCall inner([&] { ++innerRuns; });
    bool waited = false;
    NextTurnCall *selfDeleting = nullptr;
    selfDeleting = new NextTurnCall([&] {
        inner.request();
        waited = runEventsUntil([&] { return innerRuns > 0; });
        delete selfDeleting;
        selfDeleting = nullptr;
    });
    QSignalSpy gone(selfDeleting, &QObject::destroyed);
    selfDeleting->request();
    QVERIFY(gone.wait(LongWaitMs));
    QVERIFY(waited);
    QCOMPARE(innerRuns, 1);
}

QTEST_GUILESS_MAIN(tst_NextTurnCall)
#include "tst_NextTurnCall.moc"
