#include "ListenerStartup.h"

#include "Winsock.h"
#include "modMain.h"

std::optional<quint16> ListenerStartup::ParsePortText(const QString &text)
{
    bool isNumber = false;
    const int port = text.trimmed().toInt(&isNumber);
    if (!isNumber || port < 0 || port > 65535)
        return std::nullopt;
    return quint16(port);
}

QString ListenerStartup::ProblemText(int errorNumber, const QString &description)
{
    return QString::number(errorNumber, 16).toUpper() + QStringLiteral(" - ") + description;
}

QString ListenerStartup::PortNamed(const QString &protocol, const QString &port)
{
    return QStringLiteral(" (%1 port %2)").arg(protocol, port);
}

bool ListenerStartup::Start(modMain &state, Winsock &socket, const QString &portText, const QString &protocol)
{
    if (const std::optional<quint16> port = ParsePortText(portText))
        socket.SetLocalPort(*port);
    else
        state.ShowSystemProblem(ProblemText(Winsock::sckInvalidArgument,
                                            QStringLiteral("Invalid port number") + PortNamed(protocol, portText)));
    if (socket.Listen())
        return true;
    state.ShowSystemProblem(ProblemText(
        socket.LastError(), socket.LastErrorDescription() + PortNamed(protocol, QString::number(socket.LocalPort()))));
    return false;
}
