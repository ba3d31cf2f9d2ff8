#include "SocketWatchdog.h"

#include "Winsock.h"
#include "modMain.h"

#include <QTimer>

struct SocketWatchdog::Private
{
    Private(modMain &agentState, Winsock &popSocket, Winsock &smtpSocket)
        : state(agentState)
        , wskPop(popSocket)
        , wskSmtp(smtpSocket)
    {
    }

    modMain &state;
    Winsock &wskPop;
    Winsock &wskSmtp;
    QTimer tmCheckSockets;
};

namespace {

// Listens again; a port that cannot be had is logged (the next tick tries it
// again).
void listenAgain(modMain &state, Winsock &socket, const QString &protocol)
{
    if (socket.Listen())
        return;
    state.AddLogLine(QStringLiteral("%1-ERR: Cannot listen on port %2 again: %3")
                         .arg(protocol)
                         .arg(socket.LocalPort())
                         .arg(socket.LastErrorDescription()));
}

// A socket whose peer closed is closed and listens again. Returns whether
// it was recovered.
bool recover(modMain &state, Winsock &socket, const QString &protocol)
{
    if (socket.State() != Winsock::sckClosing)
        return false;
    if (state.LogToFile)
        state.LogEntry(protocol + QStringLiteral("! Trying to recover..."));
    socket.Close();
    listenAgain(state, socket, protocol);
    return true;
}

// A listener whose listen failed (its port was held by another program) is
// tried again at every tick, quietly, and says so once it listens.
void retryListening(modMain &state, Winsock &socket, const QString &protocol)
{
    if (socket.State() != Winsock::sckError)
        return;
    socket.Close();
    if (socket.Listen())
        state.AddLogLine(QStringLiteral("%1-Listening on port %2 again.").arg(protocol).arg(socket.LocalPort()));
}

} // namespace

SocketWatchdog::SocketWatchdog(modMain &state, Winsock &wskPop, Winsock &wskSmtp, QObject *parent)
    : QObject(parent)
    , d(new Private(state, wskPop, wskSmtp))
{
    d->tmCheckSockets.setInterval(CheckIntervalMs);
    connect(&d->tmCheckSockets, &QTimer::timeout, this, &SocketWatchdog::CheckSockets);
}

SocketWatchdog::~SocketWatchdog()
{
    delete d;
}

void SocketWatchdog::start()
{
    d->tmCheckSockets.start();
}

bool SocketWatchdog::isActive() const
{
    return d->tmCheckSockets.isActive();
}

void SocketWatchdog::CheckSockets()
{
    const QString pop3 = QStringLiteral("POP3");
    const QString smtp = QStringLiteral("SMTP");
    if (recover(d->state, d->wskPop, pop3))
        emit PopRecovered();
    if (recover(d->state, d->wskSmtp, smtp))
        emit SmtpRecovered();
    retryListening(d->state, d->wskPop, pop3);
    retryListening(d->state, d->wskSmtp, smtp);
}
