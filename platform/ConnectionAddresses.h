#pragma once

#include <QHostAddress>

// Both ends of one TCP connection as the accepting side sees them. Together
// the four values name the connection uniquely on this computer.
struct ConnectionAddresses
{
    QHostAddress localAddress;
    quint16 localPort = 0;
    QHostAddress peerAddress;
    quint16 peerPort = 0;

    // False when an end is unknown, for example because the peer reset the
    // connection before it was taken from the system.
    bool isComplete() const
    {
        return !localAddress.isNull() && !peerAddress.isNull() && localPort != 0 && peerPort != 0;
    }
};
