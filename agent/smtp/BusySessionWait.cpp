#include "BusySessionWait.h"

#include "EventWait.h"
#include "ProgramQuit.h"
#include "WebMailSession.h"

#include <QPointer>

BusySessionWait::Outcome BusySessionWait::Run(const WebMailSession *session, int limitMs, const QObject *waiter)
{
    if (!session || !session->IsBusy())
        return Outcome::Free;
    ProgramQuit::Watch();
    if (ProgramQuit::Heard())
        return Outcome::ProgramQuit;
    if (limitMs <= 0)
        return Outcome::LimitPassed;

    const QPointer<const WebMailSession> watchedSession(session);
    const QPointer<const QObject> watchedWaiter(waiter);
    const auto free = [&] { return !watchedSession || !watchedSession->IsBusy(); };

    // The program's quit ends this wait as it ends every running one.
    EventWait wait(free);
    // Idle may come while another operation has begun already: look again.
    wait.wakeOn(session, &WebMailSession::Idle);
    if (waiter)
        wait.endOn(waiter, &QObject::destroyed);
    wait.run(limitMs);

    if (waiter && !watchedWaiter)
        return Outcome::WaiterGone;
    if (free())
        return Outcome::Free;
    if (wait.timedOut())
        return Outcome::LimitPassed;
    return Outcome::ProgramQuit;
}
