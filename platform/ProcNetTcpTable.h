#pragma once

#include "SocketOwner.h"

#include <QByteArray>

class QIODevice;

// The kernel's text tables of TCP sockets, /proc/net/tcp (IPv4) and
// /proc/net/tcp6 (IPv6, IPv4 peers of dual-stack sockets as mapped
// addresses): one row per socket with its own end, its far end, its state
// and its owner's uid.
class ProcNetTcpTable
{
public:
    enum class Family { IPv4, IPv6 };

    // A row is about 150 characters; anything longer is not a socket row.
    static constexpr qint64 MaxRowBytes = 512;

    // Looks in one table for the peer's socket of the connection: the row
    // whose own end is the connection's peer and whose far end is the
    // connection's local end. NoSuchSocket when there is none.
    static SocketOwner::Answer FindPeerSocket(QIODevice &table, Family family, const ConnectionAddresses &connection);

    // An end as the table writes it, "0100007F:0050" for 127.0.0.1 port 80
    // on a little-endian machine: the address as the machine's 32-bit words
    // in hexadecimal, the port in hexadecimal. Empty when the address has
    // no form in that table (an IPv6 address in the IPv4 table).
    static QByteArray EndpointText(Family family, const QHostAddress &address, quint16 port);
};
