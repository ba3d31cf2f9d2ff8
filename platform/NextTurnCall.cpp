#include "NextTurnCall.h"

#include <QAbstractEventDispatcher>
#include <QList>
#include <QPointer>

// The calls requested on one thread, made when its event dispatcher says it
// woke up or is about to sleep. Both are said at turn boundaries only, never
// from inside the handling of an event: a dispatcher says one of them at the
// start of every turn, and the plain one says the second once more after its
// posted events, when there is nothing left but to wait.
class TurnStart
{
public:
    static TurnStart &forThisThread()
    {
        thread_local TurnStart turnStart;
        return turnStart;
    }

    // A thread's dispatcher may outlive what the thread keeps for itself.
    ~TurnStart()
    {
        QObject::disconnect(m_awake);
        QObject::disconnect(m_aboutToBlock);
    }

    void add(NextTurnCall *call)
    {
        call->m_round = m_round;
        m_pending.append(call);
        if (!watchDispatcher())
            QMetaObject::invokeMethod(call, [this] { runPending(); }, Qt::QueuedConnection);
    }
    void remove(NextTurnCall *call) { m_pending.removeOne(call); }

private:
    bool watchDispatcher()
    {
        if (m_dispatcher)
            return true;
        QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance();
        if (!dispatcher)
            return false;
        m_dispatcher = dispatcher;
        m_awake = QObject::connect(dispatcher, &QAbstractEventDispatcher::awake, dispatcher, [this] { runPending(); });
        m_aboutToBlock = QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, dispatcher, [this] {
            runPending();
            // What was requested meanwhile must not wait for an event that
            // may never come.
            if (!m_pending.isEmpty())
                m_dispatcher->wakeUp();
        });
        return true;
    }

    // The calls requested before this round; those requested while it runs
    // wait for the next one, so a call that requests itself again does not
    // keep the loop from looking for events. A call may request calls,
    // cancel or delete others or itself, and run events (which come back
    // here): each is taken off the list before it runs, and its function is
    // copied, as its object may go meanwhile.
    void runPending()
    {
        const quint64 round = ++m_round;
        while (!m_pending.isEmpty() && m_pending.first()->m_round < round) {
            NextTurnCall *call = m_pending.takeFirst();
            call->m_requested = false;
            const std::function<void()> function = call->m_call;
            function();
        }
    }

    QList<NextTurnCall *> m_pending;
    quint64 m_round = 0;
    QPointer<QAbstractEventDispatcher> m_dispatcher;
    QMetaObject::Connection m_awake;
    QMetaObject::Connection m_aboutToBlock;
};

NextTurnCall::NextTurnCall(std::function<void()> call, QObject *parent)
    : QObject(parent)
    , m_call(std::move(call))
{
}

NextTurnCall::~NextTurnCall()
{
    cancel();
}

void NextTurnCall::request()
{
    if (m_requested)
        return;
    m_requested = true;
    TurnStart::forThisThread().add(this);
}

void NextTurnCall::cancel()
{
    if (!m_requested)
        return;
    m_requested = false;
    TurnStart::forThisThread().remove(this);
}
