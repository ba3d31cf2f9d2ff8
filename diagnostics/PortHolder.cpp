#include "PortHolder.h"

#include "platform/InstanceLock.h"

#include <QEventLoop>
#include <QHostAddress>
#include <QTcpSocket>
#include <QTimer>

namespace {

QByteArray AgentGreeting(const QString &protocol)
{
    return protocol == QLatin1String("POP3") ? QByteArrayLiteral("+OK Zorvane Welcome")
                                             : QByteArrayLiteral("220 Zorvane Simple Mail Transfer Service Ready");
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
    return Greeting(port) == AgentGreeting(protocol);
}

// The first line the port's holder sends to a new client, without its line
// end; empty when it sends none within the wait.
QByteArray PortHolder::Greeting(quint16 port)
{
    QTcpSocket socket;
    QEventLoop loop;
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    QObject::connect(&socket, &QTcpSocket::disconnected, &loop, &QEventLoop::quit);
    QObject::connect(&socket, &QTcpSocket::errorOccurred, &loop, &QEventLoop::quit);
    QObject::connect(&socket, &QTcpSocket::readyRead, &loop, [&socket, &loop] {
        if (socket.canReadLine() || socket.bytesAvailable() >= MaxGreetingBytes)
            loop.quit();
    });
    socket.connectToHost(QHostAddress(QHostAddress::LocalHost), port);
    limit.start(GreetingWaitMs);
    loop.exec();
    QByteArray line = socket.canReadLine() ? socket.readLine(MaxGreetingBytes + 1) : QByteArray();
    // An orderly close: the agent takes it as a client that left and listens
    // again at once.
    socket.disconnectFromHost();
    while (line.endsWith('\n') || line.endsWith('\r'))
        line.chop(1);
    return line;
}
