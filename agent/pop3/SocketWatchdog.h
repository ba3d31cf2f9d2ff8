#pragma once

#include <QObject>

class modMain;
class Winsock;

// tmCheckSockets: every 5000 ms heals either listener whose peer has gone
// away (state 8): closes it, listens again and tells the front end to forget
// that dialogue ("POP3! Trying to recover...", "SMTP! Trying to recover..."
// in the log file). A listener left in the error state by a listen that
// failed (state 9) is tried again. No other state is acted upon.
class SocketWatchdog : public QObject
{
    Q_OBJECT
public:
    // How often the sockets are looked at; a dropped connection blocks its
    // port for at most this long.
    static constexpr int CheckIntervalMs = 5000;

    SocketWatchdog(modMain &state, Winsock &wskPop, Winsock &wskSmtp, QObject *parent = nullptr);
    ~SocketWatchdog() override;
    void start(); // switches tmCheckSockets on (interval 5000 ms)
    bool isActive() const;
    // One tick, as the timer runs it.
    void CheckSockets();

signals:
    // The socket listens again; its front end must drop the dialogue's held
    // input and return to its first state.
    void PopRecovered();
    void SmtpRecovered();

private:
    struct Private;
    Private *d;
};
