#pragma once

#include "SocketOwner.h"

#include <QtGlobal>

#include <functional>

class Winsock;
class modMain;

// Keeps the agent to the user it runs as. The agent serves every account
// whose password it keeps, to anyone who connects; "Listen only to host
// 127.0.0.1" keeps other computers out, this keeps out the other users of
// this one. With SameUserOnly on, a connection request on either port is
// accepted only when the system names the agent's own user as the owner of
// the connecting socket.
class SameUserRule
{
public:
    using OwnerLookup = std::function<SocketOwner::Answer(const ConnectionAddresses &)>;

    // At start: where the system cannot tell who opened a connection and
    // the option is on, says once that it is not applied.
    void AnnounceAtStart(modMain &state) const;

    // Whether the request may be accepted: always with the option off or
    // where the system cannot tell; otherwise only when the agent's own
    // user opened it. A request whose owner cannot be found is refused; the
    // first refusal of each kind says why on screen. In debug mode the log
    // file records the owner's uid of every request.
    bool Admits(modMain &state, const Winsock &socket, qintptr requestId);

    // Tests put a stand-in in place of the system's socket tables.
    void SetOwnerLookup(OwnerLookup lookup, bool supported);

private:
    void explainOnce(modMain &state, const QString &peer, const SocketOwner::Answer &owner);

    OwnerLookup m_lookup = SocketOwner::OfPeer;
    bool m_supported = SocketOwner::IsSupported();
    bool m_noSocketExplained = false;
    bool m_failureExplained = false;
};
