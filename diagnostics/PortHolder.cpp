#include "PortHolder.h"

#include "EventWait.h"
#include "InstanceLock.h"

#include <QHostAddress>
#include <QTcpSocket>

#include <functional>

namespace {

QByteArray AgentGreeting(const QString &protocol)
{
    return protocol == QLatin1String("POP3") ? QByteArrayLiteral("+OK Zorvane Welcome")
                                             : QByteArrayLiteral("220 Zorvane Simple Mail Transfer Service Ready");
}

// Lets events run until done() holds, the connection ends or the wait is
// over, whichever comes first.
void WaitOn(QTcpSocket &socket, const std::function<bool()> &done)
{
    EventWait wait(done);
    wait.wakeOn(&socket, &QTcpSocket::readyRead);
    wait.endOn(&socket, &QTcpSocket::disconnected);
    wait.endOn(&socket, &QTcpSocket::errorOccurred);
    wait.run(PortHolder::GreetingWaitMs);
}

} // namespace

QString PortHolder::InUseLine(quint16 port, const QString &protocol)
{
    if (IsRunningAgent(port, protocol))
        return QStringLiteral("Port %1 in use by the running Zorvane agent. Retrying...").arg(port);
    return QStringLiteral("Port %1 in use by another program. Retrying...").arg(port);
}

bool PortHolder::IsRunningAgent(quint16 port, const QString &protocol)
{
    if (!InstanceLock::IsHeld(InstanceLock::DefaultPath(QStringLiteral("Zorvane"))))
        return false;
    QTcpSocket socket;
    socket.connectToHost(QHostAddress(QHostAddress::LocalHost), port);
    WaitOn(socket, [&socket] { return socket.canReadLine() || socket.bytesAvailable() >= MaxGreetingBytes; });
    const bool agent =
        socket.canReadLine() && socket.readLine(MaxGreetingBytes + 1).trimmed() == AgentGreeting(protocol);
    if (agent) {
        // Said goodbye to, the agent ends the dialogue and listens again at
        // once, as after any client.
        socket.write("QUIT\r\n");
        WaitOn(socket, [&socket] { return socket.state() == QAbstractSocket::UnconnectedState; });
    }
    socket.disconnectFromHost();
    return agent;
}
