#pragma once

#include <QTcpServer>

// A port nobody listens on right now: bound with port 0, read back, released.
namespace FreePort {
inline quint16 find()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}
} // namespace FreePort
