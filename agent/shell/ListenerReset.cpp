#include "ListenerReset.h"

#include "EventWait.h"
#include "Winsock.h"

namespace ListenerReset {

namespace {

// Lets events run for up to CloseRetryWaitMs, returning as soon as the
// socket reports closed.
void waitForClosed(Winsock &socket)
{
    EventWait wait([&socket] { return socket.State() == Winsock::sckClosed; });
    // Any socket event may be the one that completes the close.
    wait.endOn(&socket, &Winsock::SendComplete);
    wait.endOn(&socket, &Winsock::DataArrival);
    wait.run(CloseRetryWaitMs);
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
