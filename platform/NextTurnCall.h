#pragma once

#include <QObject>

#include <functional>

// A call the event loop makes at the start of its next turn, before it looks
// for new events, or before it goes to sleep if the request came later in
// the turn. It wakes nobody: a posted call costs a wake-up of the loop (two
// system calls and one more look for events), and a zero-time timer runs
// only after the loop has looked for events once more. Requests made before
// the call ran are one call; calls run in the order they were requested, on
// the thread that requested them. A call requested while calls run waits for
// the next turn boundary.
//
// The loop may go to sleep right after the calls: a wait that looks at a
// condition after each turn of events (rather than being quit) does not see
// what a call changed until the next event comes. What ends such a wait,
// like the completion of a request to the service, is no work for these
// calls.
class NextTurnCall : public QObject
{
public:
    explicit NextTurnCall(std::function<void()> call, QObject *parent = nullptr);
    ~NextTurnCall() override;

    void request();
    // Takes back a request that has not run yet.
    void cancel();
    bool isRequested() const { return m_requested; }

private:
    friend class TurnStart;
    std::function<void()> m_call;
    bool m_requested = false;
    quint64 m_round = 0; // of the calls in which it was requested
};
