#pragma once

#include <QByteArray>
#include <QHash>

#include <deque>
#include <functional>

// The Digest nonces this run of the service has issued, with the nonce
// counts already seen for each, so that an Authorization header overheard on
// the wire cannot be sent again. A nonce carries its issue time, a serial
// number and a keyed hash of both: a nonce of another run, or one made up,
// is known for what it is without any table. A nonce is good for any address
// of the service, so a client that answered once sends its answer with each
// later request without meeting another challenge.
class DigestNonceBook
{
public:
    static constexpr qint64 LifetimeSeconds = 3600;      // a POP3 dialogue never lasts that long
    static constexpr qsizetype MaxTrackedNonces = 16384; // about 2 MB; the oldest is forgotten first
    static constexpr quint64 CountWindow = 64;           // counts that may arrive out of order

    enum class Verdict {
        Accepted, // the nonce is ours and current, and the count new: now used
        Stale,    // expired, of another run, forgotten, or the count was used before
    };

    // now() gives seconds since the epoch; tests move the clock.
    explicit DigestNonceBook(std::function<qint64()> now);

    QByteArray issue();
    // Records the use of nonce with nonce count nc (from 1) when both are good.
    Verdict use(const QByteArray &nonce, quint64 nc);

private:
    struct Counts
    {
        quint64 highest = 0;
        quint64 usedBelow = 0; // bit k set: highest - 1 - k was used
    };
    QByteArray macOf(const QByteArray &timeAndSerial) const;
    // True when the nonce was issued by this run and has not expired.
    bool isCurrent(const QByteArray &nonce) const;
    static bool takeCount(Counts *counts, quint64 nc);
    void forgetOldest();

    std::function<qint64()> m_now;
    QByteArray m_secret;
    quint64 m_serial = 0;
    QHash<QByteArray, Counts> m_counts;
    std::deque<QByteArray> m_issueOrder;
};
