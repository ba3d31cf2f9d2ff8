#include "NetworkAccess.h"

#include "HttpTransfer.h"

#include <QCoreApplication>
#include <QThread>
#include <QUrl>

#include <memory>
#include <mutex>

namespace {

thread_local std::unique_ptr<NetworkAccess> t_networkAccess;

// The main thread's access must go while the application object (and its
// event dispatcher, which the socket notifiers use) still exists.
void releaseMainThreadAccess()
{
    t_networkAccess.reset();
}

int defaultPortOf(const QUrl &url)
{
    return url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0 ? 443 : 80;
}

constexpr int StatusUnauthorized = 401;
constexpr int StatusProxyAuthenticationRequired = 407;

} // namespace

NetworkAccess &NetworkAccess::forThisThread()
{
    if (!t_networkAccess) {
        static std::once_flag initialised;
        std::call_once(initialised, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
        t_networkAccess.reset(new NetworkAccess);
        const QCoreApplication *application = QCoreApplication::instance();
        if (application && application->thread() == QThread::currentThread())
            qAddPostRoutine(releaseMainThreadAccess);
    }
    return *t_networkAccess;
}

bool NetworkAccess::existsForThisThread()
{
    return t_networkAccess != nullptr;
}

NetworkAccess::NetworkAccess()
    : m_eventLoop(new CurlEventLoop)
{
    m_eventLoop->setParent(this);
}

NetworkAccess::~NetworkAccess()
{
    // Transfers still running leave the loop before the handles go.
    delete m_eventLoop;
}

QString NetworkAccess::originOf(const QUrl &url)
{
    return url.scheme().toLower() + QLatin1String("://") + url.host().toLower() + QLatin1Char(':')
        + QString::number(url.port(defaultPortOf(url)));
}

CurlHandlePool::Account NetworkAccess::accountFor(const HttpRequestSpec &spec, const QString &origin) const
{
    if (spec.hasCredentials)
        return CurlHandlePool::Account{origin, true, spec.user, spec.password};
    return m_acceptedByOrigin.value(origin, CurlHandlePool::Account{origin, false, QString(), QString()});
}

CURL *NetworkAccess::takeHandle(const CurlHandlePool::Account &account, bool *kept)
{
    return m_pool.take(account, m_trust, kept);
}

void NetworkAccess::giveBackHandle(CURL *handle, bool keepState)
{
    m_pool.giveBack(handle, keepState);
}

void NetworkAccess::noteAnswer(const CurlHandlePool::Account &account, int status)
{
    if (status != StatusUnauthorized && status != StatusProxyAuthenticationRequired)
        m_acceptedByOrigin.insert(account.origin, account);
}
