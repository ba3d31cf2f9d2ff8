#include "ProcNetTcpTable.h"

#include <QIODevice>

#include <cstring>

namespace {

// "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid ..."
enum Column { LocalColumn = 1, RemoteColumn = 2, StateColumn = 3, UidColumn = 7, ColumnsNeeded = 8 };

QByteArray wordsInHex(const quint8 *bytes, int count)
{
    QByteArray text;
    for (int at = 0; at < count; at += 4) {
        quint32 word = 0;
        std::memcpy(&word, bytes + at, sizeof word);
        text += QByteArray::number(word, 16).rightJustified(8, '0').toUpper();
    }
    return text;
}

} // namespace

QByteArray ProcNetTcpTable::EndpointText(Family family, const QHostAddress &address, quint16 port)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    QByteArray text;
    if (family == Family::IPv4) {
        if (!isV4)
            return {};
        const quint8 bytes[4] = {quint8(v4 >> 24), quint8(v4 >> 16), quint8(v4 >> 8), quint8(v4)};
        text = wordsInHex(bytes, 4);
    } else {
        Q_IPV6ADDR v6 = address.toIPv6Address();
        if (isV4) {
            // An IPv4 peer of a dual-stack socket shows as ::ffff:a.b.c.d.
            v6 = Q_IPV6ADDR{};
            v6[10] = v6[11] = 0xff;
            for (int at = 0; at < 4; ++at)
                v6[12 + at] = quint8(v4 >> (24 - 8 * at));
        }
        text = wordsInHex(v6.c, 16);
    }
    return text + ':' + QByteArray::number(port, 16).rightJustified(4, '0').toUpper();
}

SocketOwner::Answer ProcNetTcpTable::FindPeerSocket(QIODevice &table, Family family,
                                                    const ConnectionAddresses &connection)
{
    const QByteArray ownEnd = EndpointText(family, connection.peerAddress, connection.peerPort);
    const QByteArray farEnd = EndpointText(family, connection.localAddress, connection.localPort);
    const SocketOwner::Answer missing = SocketOwner::NoSocketWithThatPair();
    if (ownEnd.isEmpty() || farEnd.isEmpty())
        return missing;
    // Files under /proc report no size, so atEnd() cannot be trusted there:
    // the table ends where nothing more can be read.
    for (;;) {
        const QByteArray row = table.readLine(MaxRowBytes);
        if (row.isEmpty())
            break;
        if (!row.contains(ownEnd))
            continue; // the cheap test first: tables of busy machines are long
        const QList<QByteArray> columns = row.simplified().split(' ');
        if (columns.size() < ColumnsNeeded || columns[LocalColumn] != ownEnd || columns[RemoteColumn] != farEnd)
            continue;
        bool stateOk = false;
        bool uidOk = false;
        const int state = columns[StateColumn].toInt(&stateOk, 16);
        const quint32 uid = columns[UidColumn].toUInt(&uidOk);
        if (!stateOk || !uidOk)
            return {SocketOwner::Outcome::QueryFailed, 0, QStringLiteral("unreadable row in the socket table")};
        return SocketOwner::AnswerFor(state, uid);
    }
    return missing;
}
