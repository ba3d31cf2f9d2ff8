#pragma once

#include "HttpExchange.h"

#include <QHash>
#include <QObject>
#include <QString>

class QAuthenticator;
class QNetworkAccessManager;
class QNetworkReply;
class QUrl;

// The network access manager of one thread (in the agent: the main thread;
// the blocking requests use one on a private thread), shared by every request
// sent from that thread: connections are kept alive and reused across them.
//
// Credentials. A request opened with a user and password answers its own
// challenges with them; once such a request was answered with anything but
// 401 the credentials are remembered, per scheme, host and port, for the rest
// of the process, and later requests without credentials answer that
// service's challenges with them. A challenge that comes again after being
// answered is not answered twice: the 401 comes through with its headers and
// body. Before a request opened with other credentials than the manager was
// last given for that service, the manager's cached authentication and idle
// connections are dropped, so it never presents the earlier account's
// credentials unasked; while other requests are in flight that cannot be
// done safely, and the request fails with 12026 (requests pending).
//
// Proxies: the system's proxy settings, except that loopback addresses are
// always reached directly.
class NetworkAccess : public QObject
{
public:
    static NetworkAccess &forThisThread();

    // Sends the request; returns null and a network code through refusal
    // when it cannot be sent.
    QNetworkReply *send(const HttpRequestSpec &spec, const QUrl &url, int *refusal);

    // "scheme://host:port", the key credentials are kept under.
    static QString originOf(const QUrl &url);

    ~NetworkAccess() override;

private:
    NetworkAccess();

    struct Credentials
    {
        QString user;
        QString password;
        bool operator==(const Credentials &) const = default;
    };
    struct ReplyAuthentication
    {
        QString origin;
        bool hasCredentials = false;
        Credentials credentials;
        int challengesAnswered = 0;
    };

    bool mayPresentOtherCredentials(const QString &origin, const Credentials &credentials) const;
    void answerChallenge(QNetworkReply *reply, QAuthenticator *authenticator);
    void settle(QNetworkReply *reply);

    static void rememberAccepted(const QString &origin, const Credentials &credentials);
    static bool rememberedFor(const QString &origin, Credentials *credentials);

    QNetworkAccessManager *m_manager;
    QHash<QString, Credentials> m_handedOver;           // what the manager may present unasked, by origin
    QHash<QNetworkReply *, ReplyAuthentication> m_inFlight;
};
