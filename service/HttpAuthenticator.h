#pragma once

#include "HttpMessage.h"

#include <QByteArray>
#include <QHash>

#include <functional>

class AccountBook;

// HTTP authentication of every request: Digest (MD5, qop "auth" or none) and
// Basic. Nonces carry their issue time and a keyed hash of it, so the service
// keeps no table of them: a nonce is good for any address until it expires.
class HttpAuthenticator
{
public:
    enum class Outcome { Accepted, Missing, Rejected, Stale };
    struct Result
    {
        Outcome outcome = Outcome::Missing;
        QByteArray address; // the account, when accepted
    };

    // now() gives seconds since the epoch; tests move the clock.
    HttpAuthenticator(const AccountBook &accounts, QByteArray realm,
                      std::function<qint64()> now = {});

    Result check(const HttpRequest &request) const;
    // 401 with a fresh Digest challenge (stale=true when asked) followed by
    // a Basic challenge.
    HttpResponse challenge(const QByteArray &reason, bool stale = false) const;

    static constexpr qint64 NonceLifetimeSeconds = 3600; // a POP3 dialogue never lasts that long
    QByteArray issueNonce() const;

private:
    Result checkBasic(const QByteArray &credentials) const;
    Result checkDigest(const HttpRequest &request, const QByteArray &credentials) const;
    QByteArray nonceMac(const QByteArray &timeText) const;
    // 0 good, 1 expired, -1 not issued by this run.
    int nonceState(const QByteArray &nonce) const;

    const AccountBook &m_accounts;
    QByteArray m_realm;
    QByteArray m_secret;
    QByteArray m_opaque;
    std::function<qint64()> m_now;
};

// The name=value pairs of a Digest Authorization header, quotes removed.
QHash<QByteArray, QByteArray> ParseDigestParameters(const QByteArray &text);
