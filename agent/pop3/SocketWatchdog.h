#pragma once

#include <QObject>

class modMain;
class Winsock;

// tmCheckSockets: every 5000 ms heals either listener that is neither
// listening nor carrying a connection ("POP3! Trying to recover...",
// "SMTP! Trying to recover...").
class SocketWatchdog : public QObject
{
    Q_OBJECT
public:
    SocketWatchdog(modMain &state, Winsock &wskPop, Winsock &wskSmtp, QObject *parent = nullptr);
    void start(); // switches tmCheckSockets on (interval 5000 ms)
    bool isActive() const;

private:
    struct Private;
    Private *d;
};
