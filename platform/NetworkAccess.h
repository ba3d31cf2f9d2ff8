#pragma once

#include "CertificateTrust.h"
#include "CurlEventLoop.h"
#include "CurlHandlePool.h"

#include <QHash>
#include <QObject>
#include <QString>

class QUrl;
struct HttpRequestSpec;

// The network access of one thread (in the agent and the diagnostics
// program: the main thread), shared by every request sent from it, whether
// driven by the event loop or blocking: libcurl's handles and caches, the
// multi handle on the event loop, the certificate authorities trusted, and
// the credentials each service accepted last.
//
// Credentials. A request opened with a user and password presents exactly
// those, answering Basic or Digest as the service asks; once such a request
// was answered with anything but 401 the credentials are remembered for its
// scheme, host and port, and a later request opened without credentials
// presents the ones remembered for its origin (requests that name their
// account do not depend on this). A request never presents another
// account's credentials: each account's authentication state lives in its
// own handles.
//
// Proxies: libcurl's reading of http_proxy, https_proxy and no_proxy, except
// that loopback addresses are always reached directly.
class NetworkAccess : public QObject
{
public:
    static NetworkAccess &forThisThread();
    // Whether this thread has made its network access yet.
    static bool existsForThisThread();
    ~NetworkAccess() override;

    // "scheme://host:port", the key credentials and handles are kept under.
    static QString originOf(const QUrl &url);

    // Whose credentials a request to the origin presents.
    CurlHandlePool::Account accountFor(const HttpRequestSpec &spec, const QString &origin) const;
    // A handle set up for the account; kept is set when it carries state of
    // the account's earlier requests. Null when no handle can be made.
    CURL *takeHandle(const CurlHandlePool::Account &account, bool *kept);
    void giveBackHandle(CURL *handle, bool keepState);
    // A request opened with its own credentials got this final status.
    void noteAnswer(const CurlHandlePool::Account &account, int status);

    CertificateTrust::Outcome trustAlso(const QString &pemFile) { return m_trust.trustAlso(pemFile); }

    CurlEventLoop &eventLoop() { return *m_eventLoop; }

private:
    NetworkAccess();

    CertificateTrust m_trust;
    CurlHandlePool m_pool;
    CurlEventLoop *m_eventLoop;
    QHash<QString, CurlHandlePool::Account> m_acceptedByOrigin;
};
