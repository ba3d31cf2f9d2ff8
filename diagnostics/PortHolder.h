#pragma once

#include <QString>

// Who holds a port the agent wants: the running agent itself, or another
// program. The agent counts as the holder only when its instance lock says it
// runs and a connection to the port is answered with the agent's own greeting
// ("+OK Zorvane Welcome" on the POP3 port, "220 Zorvane Simple Mail Transfer
// Service Ready" on the SMTP port); a silent holder is given GreetingWaitMs.
// The agent sees the check as a client that connects and says QUIT.
class PortHolder
{
public:
    // For the greeting, and for the agent to end the dialogue.
    static constexpr int GreetingWaitMs = 2000;
    static constexpr qsizetype MaxGreetingBytes = 512;

    // The report line of a taken port; protocol is "POP3" or "SMTP".
    static QString InUseLine(quint16 port, const QString &protocol);

    static bool IsRunningAgent(quint16 port, const QString &protocol);
};
