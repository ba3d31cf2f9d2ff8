#pragma once

#include <QEventLoop>
#include <QObject>
#include <QTimer>

#include <functional>

// Stand-in for "sleep and let pending events run": a wait that ends as soon
// as what it waits for has happened, and at the latest after the given time.
// Never a busy loop: the thread sleeps in the event loop between events.
//
//     EventWait wait([&] { return socket.State() == Winsock::sckClosed; });
//     wait.wakeOn(&socket, &Winsock::PeerClosed);
//     wait.endOn(&window, &Window::Closing);
//     wait.run(100);
class EventWait
{
public:
    // Lets every pending event run once, then returns.
    static void processPendingOnce();

    // done() says whether what is waited for has happened; a wait without it
    // ends only on an endOn signal or the time limit.
    explicit EventWait(std::function<bool()> done = {});

    // done() is looked at again whenever sender emits wakeUp.
    template<typename Sender, typename Signal> void wakeOn(const Sender *sender, Signal wakeUp)
    {
        QObject::connect(sender, wakeUp, &m_loop, [this] {
            if (isDone())
                m_loop.quit();
        });
        endOnDestruction(sender);
    }

    // The wait ends whenever sender emits signal, done or not.
    template<typename Sender, typename Signal> void endOn(const Sender *sender, Signal signal)
    {
        QObject::connect(sender, signal, &m_loop, [this] { m_loop.quit(); });
        endOnDestruction(sender);
    }

    // Runs the event loop until done() holds, an endOn signal comes, the
    // program quits or timeoutMs has passed; returns done() at the end.
    bool run(int timeoutMs);
    // Whether the last run ended because its time was up.
    bool timedOut() const { return m_timedOut; }

    // A one-signal wait: until done() holds, checked whenever sender emits
    // wakeUp, or timeoutMs has passed; returns done() at the end.
    template<typename Sender, typename Signal>
    static bool until(const Sender *sender, Signal wakeUp, int timeoutMs, const std::function<bool()> &done)
    {
        EventWait wait(done);
        wait.wakeOn(sender, wakeUp);
        return wait.run(timeoutMs);
    }

private:
    bool isDone() const { return m_done && m_done(); }
    // A sender that goes away cannot wake the wait any more.
    void endOnDestruction(const QObject *sender);

    std::function<bool()> m_done;
    QEventLoop m_loop;
    QTimer m_limit;
    bool m_timedOut = false;
};
