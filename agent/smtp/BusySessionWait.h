#pragma once

class QObject;
class WebMailSession;

// The SMTP side's wait for the web mail session while the POP3 side uses
// it (a large download above all). Events run meanwhile; the wait ends as
// soon as the session is free, once the limit has passed, when the program
// quits, or when the waiter (the dialogue that waits) is destroyed, so no
// wait outlives what it serves or holds up the agent's end.
class BusySessionWait
{
public:
    enum class Outcome {
        Free,        // the session is free for the waiter's operation
        LimitPassed, // the session stayed busy for the whole limit
        ProgramQuit, // the program is ending
        WaiterGone,  // the waiter was destroyed: touch nothing of it
    };

    // At once Free when the session is not busy, LimitPassed when it is and
    // limitMs is 0 or less.
    static Outcome Run(const WebMailSession *session, int limitMs, const QObject *waiter);
};
