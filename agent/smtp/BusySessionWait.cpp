#include "BusySessionWait.h"

#include "ProgramQuit.h"
#include "clsHotmail.h"

#include <QEventLoop>
#include <QPointer>
#include <QTimer>

BusySessionWait::Outcome BusySessionWait::Run(const clsHotmail *session, int limitMs, const QObject *waiter)
{
    if (!session || !session->IsBusy())
        return Outcome::Free;
    ProgramQuit::Watch();
    if (ProgramQuit::Heard())
        return Outcome::ProgramQuit;
    if (limitMs <= 0)
        return Outcome::LimitPassed;

    const QPointer<const clsHotmail> watchedSession(session);
    const QPointer<const QObject> watchedWaiter(waiter);
    const auto free = [&] { return !watchedSession || !watchedSession->IsBusy(); };

    // The program's quit ends this loop as it ends every running one.
    QEventLoop loop;
    bool limitPassed = false;
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, &loop, [&] {
        limitPassed = true;
        loop.quit();
    });
    // Idle may come while another operation has begun already: look again.
    QObject::connect(session, &clsHotmail::Idle, &loop, [&] {
        if (free())
            loop.quit();
    });
    QObject::connect(session, &QObject::destroyed, &loop, &QEventLoop::quit);
    if (waiter)
        QObject::connect(waiter, &QObject::destroyed, &loop, &QEventLoop::quit);
    limit.start(limitMs);
    loop.exec();

    if (waiter && !watchedWaiter)
        return Outcome::WaiterGone;
    if (free())
        return Outcome::Free;
    if (limitPassed)
        return Outcome::LimitPassed;
    return Outcome::ProgramQuit;
}
