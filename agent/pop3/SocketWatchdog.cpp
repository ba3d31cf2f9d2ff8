#include "SocketWatchdog.h"

#include "Winsock.h"
#include "modMain.h"

#include <QTimer>

struct SocketWatchdog::Private
{
    Private(modMain &state, Winsock &wskPop, Winsock &wskSmtp)
        : state(state)
        , wskPop(wskPop)
        , wskSmtp(wskSmtp)
    {
    }

    modMain &state;
    Winsock &wskPop;
    Winsock &wskSmtp;
    QTimer tmCheckSockets;
};

namespace {

// A socket whose peer closed is closed and listens again. Returns whether
// it was recovered.
bool recover(modMain &state, Winsock &socket, const QString &logPrefix)
{
    if (socket.State() != Winsock::sckClosing)
        return false;
    if (state.LogToFile)
        state.LogEntry(logPrefix + QStringLiteral("! Trying to recover..."));
    socket.Close();
    socket.Listen();
    return true;
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
    if (recover(d->state, d->wskPop, QStringLiteral("POP3")))
        emit PopRecovered();
    if (recover(d->state, d->wskSmtp, QStringLiteral("SMTP")))
        emit SmtpRecovered();
}
