#include "NetworkAccess.h"

#include <QAuthenticator>
#include <QCoreApplication>
#include <QHostAddress>
#include <QMutex>
#include <QMutexLocker>
#include <QNetworkAccessManager>
#include <QNetworkProxyFactory>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QThread>

#include <memory>

namespace {

// The system's proxy for everything but loopback: a proxy configured for the
// outside world cannot reach a service on this machine.
class LoopbackDirectProxyFactory : public QNetworkProxyFactory
{
public:
    QList<QNetworkProxy> queryProxy(const QNetworkProxyQuery &query) override
    {
        const QString host = query.peerHostName();
        if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0
            || QHostAddress(host).isLoopback())
            return { QNetworkProxy::NoProxy };
        return systemProxyForQuery(query);
    }
};

struct RememberedCredentials
{
    QMutex mutex; // the blocking requests' thread reads them too
    QHash<QString, QPair<QString, QString>> byOrigin;
};

RememberedCredentials &remembered()
{
    static RememberedCredentials credentials;
    return credentials;
}

thread_local std::unique_ptr<NetworkAccess> t_networkAccess;

// The main thread's manager must go before the application object does.
void releaseMainThreadAccess()
{
    t_networkAccess.reset();
}

int defaultPortOf(const QUrl &url)
{
    return url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0 ? 443 : 80;
}

} // namespace

NetworkAccess &NetworkAccess::forThisThread()
{
    if (!t_networkAccess) {
        t_networkAccess.reset(new NetworkAccess);
        const QCoreApplication *application = QCoreApplication::instance();
        if (application && application->thread() == QThread::currentThread())
            qAddPostRoutine(releaseMainThreadAccess);
    }
    return *t_networkAccess;
}

NetworkAccess::NetworkAccess()
    : m_manager(new QNetworkAccessManager(this))
{
    m_manager->setProxyFactory(new LoopbackDirectProxyFactory);
    m_manager->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    connect(m_manager, &QNetworkAccessManager::authenticationRequired, this, &NetworkAccess::answerChallenge);
}

NetworkAccess::~NetworkAccess()
{
    // Replies still alive belong to the manager and go with it; the
    // exchanges that point at them hold guarded pointers.
    for (auto it = m_inFlight.keyBegin(); it != m_inFlight.keyEnd(); ++it)
        (*it)->disconnect(this);
}

QString NetworkAccess::originOf(const QUrl &url)
{
    return url.scheme().toLower() + QLatin1String("://") + url.host().toLower() + QLatin1Char(':')
        + QString::number(url.port(defaultPortOf(url)));
}

QNetworkReply *NetworkAccess::send(const HttpRequestSpec &spec, const QUrl &url, int *refusal)
{
    const QString origin = originOf(url);
    const Credentials given { spec.user, spec.password };
    // The manager presents what it handed over last without being asked. A
    // request without credentials of its own stands for the login accepted
    // last, which may have happened on another thread's manager since.
    Credentials presented = given;
    const bool presents = spec.hasCredentials || rememberedFor(origin, &presented);
    if (presents && mayPresentOtherCredentials(origin, presented)) {
        // Dropping the cache would strand the transfers in flight.
        if (!m_inFlight.isEmpty()) {
            if (spec.hasCredentials) {
                *refusal = NetworkCode::RequestPending;
                return nullptr;
            }
        } else {
            m_manager->clearAccessCache();
            m_handedOver.clear();
        }
    }

    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    // HTTP/2 has no reason phrase, and the status text is part of the answer.
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    if (spec.inactivityTimeoutMilliseconds > 0)
        request.setTransferTimeout(spec.inactivityTimeoutMilliseconds);
    for (const auto &[name, value] : spec.headers) {
        // Setting a header again adds to it, as a repeated header line would.
        const QByteArray earlier = request.rawHeader(name);
        request.setRawHeader(name, earlier.isEmpty() ? value : earlier + ", " + value);
    }

    QNetworkReply *reply = nullptr;
    if (spec.verb == "HEAD")
        reply = m_manager->head(request);
    else if (spec.body.isEmpty())
        reply = m_manager->sendCustomRequest(request, spec.verb);
    else
        reply = m_manager->sendCustomRequest(request, spec.verb, spec.body);
    if (!reply) {
        *refusal = NetworkCode::InternalError;
        return nullptr;
    }
    m_inFlight.insert(reply, ReplyAuthentication { origin, spec.hasCredentials, given, 0 });
    connect(reply, &QNetworkReply::finished, this, [this, reply] { settle(reply); });
    connect(reply, &QObject::destroyed, this, [this, reply] { m_inFlight.remove(reply); });
    return reply;
}

bool NetworkAccess::mayPresentOtherCredentials(const QString &origin, const Credentials &credentials) const
{
    const auto held = m_handedOver.constFind(origin);
    return held != m_handedOver.constEnd() && !(*held == credentials);
}

void NetworkAccess::answerChallenge(QNetworkReply *reply, QAuthenticator *authenticator)
{
    auto found = m_inFlight.find(reply);
    if (found == m_inFlight.end())
        return;
    ReplyAuthentication &authentication = *found;
    // A challenge repeated after our answer means the answer was refused:
    // leaving it unanswered lets the 401 through instead of asking forever.
    if (authentication.challengesAnswered > 0)
        return;
    Credentials credentials = authentication.credentials;
    if (!authentication.hasCredentials && !rememberedFor(authentication.origin, &credentials))
        return;
    ++authentication.challengesAnswered;
    authenticator->setUser(credentials.user);
    authenticator->setPassword(credentials.password);
    m_handedOver.insert(authentication.origin, credentials);
}

void NetworkAccess::settle(QNetworkReply *reply)
{
    const ReplyAuthentication authentication = m_inFlight.take(reply);
    if (!authentication.hasCredentials)
        return;
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid() && status.toInt() != 401 && status.toInt() != 407)
        rememberAccepted(authentication.origin, authentication.credentials);
}

void NetworkAccess::rememberAccepted(const QString &origin, const Credentials &credentials)
{
    RememberedCredentials &store = remembered();
    QMutexLocker lock(&store.mutex);
    store.byOrigin.insert(origin, { credentials.user, credentials.password });
}

bool NetworkAccess::rememberedFor(const QString &origin, Credentials *credentials)
{
    RememberedCredentials &store = remembered();
    QMutexLocker lock(&store.mutex);
    const auto found = store.byOrigin.constFind(origin);
    if (found == store.byOrigin.constEnd())
        return false;
    *credentials = Credentials { found->first, found->second };
    return true;
}
