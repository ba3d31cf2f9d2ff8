#include "ListenerReset.h"

#include "Winsock.h"

#include <QEventLoop>
#include <QTimer>

namespace ListenerReset {

namespace {

// Lets events run for up to CloseRetryWaitMs, returning as soon as the
// socket reports closed.
void waitForClosed(Winsock &socket)
{
    if (socket.State() == Winsock::sckClosed)
        return;
    QEventLoop loop;
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    // Any socket event may be the one that completes the close.
    QObject::connect(&socket, &Winsock::SendComplete, &loop, &QEventLoop::quit);
    QObject::connect(&socket, &Winsock::DataArrival, &loop, &QEventLoop::quit);
    limit.start(CloseRetryWaitMs);
    loop.exec();
}

} // namespace

void CloseAndWait(Winsock &socket)
{
    socket.Close();
    for (int attempt = 0; attempt < MaxCloseAttempts && socket.State() != Winsock::sckClosed; ++attempt) {
        waitForClosed(socket);
        socket.Close();
    }
}

} // namespace ListenerReset
