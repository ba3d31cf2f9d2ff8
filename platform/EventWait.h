#pragma once

#include <QEventLoop>
#include <QObject>
#include <QTimer>

#include <functional>

// Stand-in for "sleep and let pending events run": a wait that ends as soon
// as what it waits for has happened, and at the latest after the given time.
// Never a busy loop: the thread sleeps in the event loop between events.
class EventWait
{
public:
    // Lets every pending event run once, then returns.
    static void processPendingOnce();

    // Runs the event loop until done() is true or timeoutMs has passed.
    // done() is checked at once and whenever wakeUp fires on sender; returns
    // done() at the end.
    template<typename Sender, typename Signal>
    static bool until(const Sender *sender, Signal wakeUp, int timeoutMs, const std::function<bool()> &done)
    {
        if (done())
            return true;
        QEventLoop loop;
        QTimer timer;
        timer.setSingleShot(true);
        QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
        QObject::connect(sender, wakeUp, &loop, [&] {
            if (done())
                loop.quit();
        });
        // A sender that goes away cannot wake us any more.
        QObject::connect(sender, &QObject::destroyed, &loop, &QEventLoop::quit);
        timer.start(timeoutMs);
        loop.exec();
        return done();
    }
};
