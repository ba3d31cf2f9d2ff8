#include "SameUserRule.h"

#include "Winsock.h"
#include "modMain.h"

namespace {

// "127.0.0.1:40000", "[::1]:40000"; an IPv4 peer of a dual-stack socket as IPv4.
QString peerText(const ConnectionAddresses &connection)
{
    bool isV4 = false;
    const quint32 v4 = connection.peerAddress.toIPv4Address(&isV4);
    const QString address =
        isV4 ? QHostAddress(v4).toString() : QLatin1Char('[') + connection.peerAddress.toString() + QLatin1Char(']');
    return address + QLatin1Char(':') + QString::number(connection.peerPort);
}

} // namespace

void SameUserRule::AnnounceAtStart(modMain &state) const
{
    if (state.Options().SameUserOnly() && !m_supported)
        state.AddLogLine(QStringLiteral("SameUserOnly cannot be applied: this system does not tell which user "
                                        "opened a connection, so every user of this computer can connect."));
}

bool SameUserRule::Admits(modMain &state, const Winsock &socket, qintptr requestId)
{
    if (!state.Options().SameUserOnly() || !m_supported)
        return true;
    const ConnectionAddresses connection = socket.RequestAddresses(requestId);
    const SocketOwner::Answer owner = m_lookup(connection);
    const QString peer = peerText(connection);
    if (owner.outcome != SocketOwner::Outcome::Found) {
        state.LogEntry(QStringLiteral("Connection from %1: owner unknown, %2.").arg(peer, owner.reason));
        explainOnce(state, peer, owner);
        return false;
    }
    const quint32 agentUser = SocketOwner::CurrentUser();
    state.LogEntry(QStringLiteral("Connection from %1 opened by uid %2; the agent runs as uid %3.")
                       .arg(peer)
                       .arg(owner.uid)
                       .arg(agentUser));
    return owner.uid == agentUser;
}

void SameUserRule::SetOwnerLookup(OwnerLookup lookup, bool supported)
{
    m_lookup = std::move(lookup);
    m_supported = supported;
}

// Clients that go away before they are served, or a system that cannot be
// asked, would otherwise repeat the same explanation at every request.
void SameUserRule::explainOnce(modMain &state, const QString &peer, const SocketOwner::Answer &owner)
{
    bool &explained = owner.outcome == SocketOwner::Outcome::NoSuchSocket ? m_noSocketExplained : m_failureExplained;
    if (explained)
        return;
    explained = true;
    state.AddLogLine(QStringLiteral("Cannot tell which user opened the connection from %1: %2. "
                                    "While SameUserOnly is on, such connections are rejected.")
                         .arg(peer, owner.reason));
}
