#pragma once

#include "DigestNonceBook.h"
#include "HttpMessage.h"

#include <QByteArray>
#include <QHash>

#include <functional>

class AccountBook;

// HTTP authentication of every request that needs it, decided on the
// request's head before any of its body is read: Digest (MD5, qop "auth")
// with nonce counts tracked, and Basic as the HTTP server decoded it.
class HttpAuthenticator
{
public:
    enum class Outcome { Accepted, Missing, Rejected, Stale };
    struct Result
    {
        Outcome outcome = Outcome::Missing;
        QByteArray address; // the account, when accepted
    };

    // now() gives seconds since the epoch; tests move the clock. A Digest
    // answer may name the request target with pathPrefix in front: a
    // reverse proxy may have taken the prefix off before passing it on.
    HttpAuthenticator(const AccountBook &accounts, QByteArray realm, std::function<qint64()> now = {},
                      QByteArray pathPrefix = {});

    // A right Digest answer with a nonce or nonce count that can no longer
    // be used (expired, of an earlier run, already used) is Stale: the
    // client answers a fresh nonce with the same password.
    Result check(const HttpRequest &head);
    // 401 with a fresh Digest challenge (stale=true when asked) followed by
    // a Basic challenge.
    HttpResponse challenge(const QByteArray &reason, bool stale = false);

private:
    Result checkBasic(const BasicCredentials &credentials) const;
    Result checkDigest(const HttpRequest &head, const QByteArray &credentials);
    bool isTargetOf(const QByteArray &uri, const HttpRequest &head) const;

    const AccountBook &m_accounts;
    QByteArray m_realm;
    QByteArray m_opaque;
    QByteArray m_pathPrefix;
    DigestNonceBook m_nonces;
};

// The name=value pairs of a Digest Authorization header, quotes removed.
QHash<QByteArray, QByteArray> ParseDigestParameters(const QByteArray &text);
