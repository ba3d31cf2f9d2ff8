#pragma once

#include <QByteArray>
#include <QHash>

#include <functional>

// Keeps the server's connections servable when some peers are slow or
// hostile. A connection waits for a request head (from its acceptance, or
// from its request line), is being served (head complete: body and answer),
// or is idle between requests. A head must be complete within a time limit
// however slowly its bytes trickle in, and an idle connection has a limit
// of its own. When a peer, or all peers together, hold every connection
// they may, a newcomer is let in by closing the connection that has waited
// longest for its head, else the one idle longest; a connection being
// served is never closed for another.
class ConnectionGuard
{
public:
    struct Limits
    {
        unsigned maxConnections = 64;   // far above what one agent opens
        unsigned maxPerPeer = 32;       // one address cannot take them all
        qint64 headTimeLimitMs = 10000; // a client sends its head at once; a trickle is an attack
        qint64 idleLimitMs = 60000;     // a kept-alive connection waiting for its next request
    };
    using Id = quintptr;

    // close ends a connection at once; closed() follows when its owner has
    // let go of it. nowMs: a monotonic clock in milliseconds.
    ConnectionGuard(Limits limits, std::function<void(Id)> close, std::function<qint64()> nowMs);

    // A connection from peer asks to be let in; false when every connection
    // that could make room for it is being served.
    bool admit(const QByteArray &peer);
    void opened(Id id, const QByteArray &peer);
    void requestLineSeen(Id id);
    void headComplete(Id id);
    void answerDone(Id id);
    void closed(Id id);

    // Closes the connections past their time limits.
    void sweep();
    // Milliseconds until the next time limit runs out; -1 when none runs.
    qint64 msUntilNextLimit() const;
    // Connections open and not being closed.
    qsizetype count() const;

private:
    enum class Phase { AwaitingHead, Serving, Idle };
    struct Connection
    {
        QByteArray peer;
        Phase phase = Phase::AwaitingHead;
        qint64 sinceMs = 0;
        quint64 entered = 0; // orders entries within one millisecond
        bool closing = false;
    };

    qint64 limitOf(Phase phase) const;
    // The connection to close to make room (of peer, or of anyone when
    // peer is empty); 0 when none may be closed.
    Id victim(const QByteArray &peer) const;
    qsizetype countOf(const QByteArray &peer) const;
    void closeNow(Id id);
    void enter(Id id, Phase phase);

    Limits m_limits;
    std::function<void(Id)> m_close;
    std::function<qint64()> m_nowMs;
    QHash<Id, Connection> m_connections;
    quint64 m_entries = 0;
};
