#include "ConnectionGuard.h"

#include <QList>

#include <tuple>

ConnectionGuard::ConnectionGuard(Limits limits, std::function<void(Id)> close, std::function<qint64()> nowMs)
    : m_limits(limits)
    , m_close(std::move(close))
    , m_nowMs(std::move(nowMs))
{
}

qint64 ConnectionGuard::limitOf(Phase phase) const
{
    switch (phase) {
    case Phase::AwaitingHead:
        return m_limits.headTimeLimitMs;
    case Phase::Idle:
        return m_limits.idleLimitMs;
    case Phase::Serving:
        break;
    }
    return -1;
}

qsizetype ConnectionGuard::countOf(const QByteArray &peer) const
{
    qsizetype count = 0;
    for (const Connection &connection : m_connections)
        count += (!connection.closing && (peer.isEmpty() || connection.peer == peer)) ? 1 : 0;
    return count;
}

qsizetype ConnectionGuard::count() const
{
    return countOf({});
}

ConnectionGuard::Id ConnectionGuard::victim(const QByteArray &peer) const
{
    Id chosen = 0;
    const Connection *best = nullptr;
    const auto rank = [](Phase phase) { return phase == Phase::AwaitingHead ? 0 : 1; };
    for (auto it = m_connections.cbegin(); it != m_connections.cend(); ++it) {
        const Connection &candidate = it.value();
        if (candidate.closing || candidate.phase == Phase::Serving || (!peer.isEmpty() && candidate.peer != peer))
            continue;
        const auto key = [&](const Connection &c) { return std::make_tuple(rank(c.phase), c.sinceMs, c.entered); };
        const bool better = !best || key(candidate) < key(*best);
        if (better) {
            best = &candidate;
            chosen = it.key();
        }
    }
    return chosen;
}

void ConnectionGuard::closeNow(Id id)
{
    const auto it = m_connections.find(id);
    if (it == m_connections.end() || it->closing)
        return;
    it->closing = true;
    m_close(id);
}

bool ConnectionGuard::admit(const QByteArray &peer)
{
    if (countOf(peer) >= qsizetype(m_limits.maxPerPeer)) {
        const Id room = victim(peer);
        if (!room)
            return false;
        closeNow(room);
    }
    if (count() >= qsizetype(m_limits.maxConnections)) {
        const Id room = victim({});
        if (!room)
            return false;
        closeNow(room);
    }
    return true;
}

void ConnectionGuard::opened(Id id, const QByteArray &peer)
{
    m_connections.insert(id, Connection{peer, Phase::AwaitingHead, m_nowMs(), ++m_entries, false});
}

void ConnectionGuard::enter(Id id, Phase phase)
{
    const auto it = m_connections.find(id);
    if (it == m_connections.end())
        return;
    it->phase = phase;
    it->sinceMs = m_nowMs();
    it->entered = ++m_entries;
}

void ConnectionGuard::requestLineSeen(Id id)
{
    // A new connection's head is timed from its acceptance; a kept-alive
    // one's from the request line that ends its idle time.
    const auto it = m_connections.constFind(id);
    if (it != m_connections.cend() && it->phase == Phase::Idle)
        enter(id, Phase::AwaitingHead);
}

void ConnectionGuard::headComplete(Id id)
{
    enter(id, Phase::Serving);
}

void ConnectionGuard::answerDone(Id id)
{
    enter(id, Phase::Idle);
}

void ConnectionGuard::closed(Id id)
{
    m_connections.remove(id);
}

void ConnectionGuard::sweep()
{
    const qint64 now = m_nowMs();
    QList<Id> overdue;
    for (auto it = m_connections.cbegin(); it != m_connections.cend(); ++it) {
        const qint64 limit = limitOf(it->phase);
        if (!it->closing && limit >= 0 && now - it->sinceMs >= limit)
            overdue.append(it.key());
    }
    for (const Id id : overdue)
        closeNow(id);
}

qint64 ConnectionGuard::msUntilNextLimit() const
{
    const qint64 now = m_nowMs();
    qint64 soonest = -1;
    for (const Connection &connection : m_connections) {
        const qint64 limit = limitOf(connection.phase);
        if (connection.closing || limit < 0)
            continue;
        const qint64 left = qMax<qint64>(0, connection.sinceMs + limit - now);
        soonest = soonest < 0 ? left : qMin(soonest, left);
    }
    return soonest;
}
