#include "XmlHttpRequest.h"

#include "BlockingHttp.h"
#include "HttpExchange.h"
#include "NetworkAccess.h"

#include <optional>
#include <utility>

struct XmlHttpRequest::Private
{
    int readyState = 0;
    bool async = true;
    bool sent = false;
    HttpRequestSpec spec;
    HttpAnswer answer;
    std::unique_ptr<HttpExchange> exchange; // the asynchronous request in flight
    // A completed exchange is let go at the next request, not from inside
    // its own report: no event needs posting for it.
    std::unique_ptr<HttpExchange> finishedExchange;
    mutable std::optional<XmlDocument> parsedAnswer;
    qint64 maxResponseBytes = DefaultMaxResponseBytes;
    int timeoutMilliseconds = DefaultTimeoutMilliseconds;
    int totalTimeoutMilliseconds = 0;
};

XmlHttpRequest::XmlHttpRequest(QObject *parent)
    : QObject(parent)
    , d(std::make_unique<Private>())
{
}

XmlHttpRequest::~XmlHttpRequest()
{
    abandonExchange();
}

void XmlHttpRequest::open(const QByteArray &verb, const QString &url, bool async, const QString &user,
                          const QString &password)
{
    abandonExchange();
    d->finishedExchange.reset();
    d->async = async;
    d->sent = false;
    d->answer = HttpAnswer();
    d->parsedAnswer.reset();
    d->spec = HttpRequestSpec();
    d->spec.verb = verb;
    d->spec.url = url;
    d->spec.hasCredentials = !user.isNull(); // an empty user name given is still a login
    d->spec.user = user;
    d->spec.password = password;
    setReadyState(1);
}

void XmlHttpRequest::setRequestHeader(const QByteArray &name, const QByteArray &value)
{
    if (d->readyState == 1 && !d->sent)
        d->spec.headers.append({name, value});
}

void XmlHttpRequest::send(const QByteArray &body)
{
    // Nothing to send before open(), nor again before the next open().
    if (d->readyState != 1 || d->sent)
        return;
    d->sent = true;
    d->spec.body = body;
    d->spec.maxResponseBytes = d->maxResponseBytes;
    d->spec.inactivityTimeoutMilliseconds = d->timeoutMilliseconds;
    d->spec.totalTimeoutMilliseconds = d->totalTimeoutMilliseconds;
    // The transfer holds what it sends, and lets it go when done.
    HttpRequestSpec spec = std::exchange(d->spec, HttpRequestSpec());
    if (!d->async) {
        d->answer = BlockingHttp::run(std::move(spec));
        setReadyState(4);
        return;
    }
    d->exchange = std::make_unique<HttpExchange>(
        std::move(spec), [this] { answerBegun(); }, [this] { exchangeCompleted(); });
    d->exchange->setBodyGrew([this] { emit responseTextGrew(); });
    d->exchange->start();
}

int XmlHttpRequest::readyState() const
{
    return d->readyState;
}

void XmlHttpRequest::abort()
{
    if (d->readyState == 0 || d->readyState == 4)
        return;
    abandonExchange();
    d->answer = HttpAnswer();
    d->parsedAnswer.reset();
    d->sent = false;
    setReadyState(0);
}

int XmlHttpRequest::status(bool *ok, int *errorNumber) const
{
    const bool complete = d->readyState == 4;
    if (ok)
        *ok = complete;
    if (!complete) {
        if (errorNumber)
            *errorNumber = ErrorNotComplete;
        return 0;
    }
    if (errorNumber)
        *errorNumber = 0;
    return d->answer.status;
}

const HttpAnswer &XmlHttpRequest::currentAnswer() const
{
    return d->exchange ? d->exchange->answer() : d->answer;
}

QByteArray XmlHttpRequest::statusText() const
{
    return currentAnswer().statusText;
}

QByteArray XmlHttpRequest::getAllResponseHeaders() const
{
    QByteArray all;
    for (const auto &[name, value] : currentAnswer().headers)
        all += name + ": " + value + "\r\n";
    return all;
}

QByteArray XmlHttpRequest::getResponseHeader(const QByteArray &name) const
{
    for (const auto &[key, value] : currentAnswer().headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return QByteArray();
}

const QByteArray &XmlHttpRequest::responseText() const
{
    return currentAnswer().body;
}

QByteArray XmlHttpRequest::takeResponseText()
{
    if (d->exchange)
        return d->exchange->takeBodySoFar();
    if (d->readyState != 4)
        return QByteArray();
    d->parsedAnswer.reset();
    return std::exchange(d->answer.body, QByteArray());
}

void XmlHttpRequest::setReceiveWindow(qint64 bytes)
{
    if (d->exchange)
        d->exchange->setReceiveWindow(bytes);
}

int XmlHttpRequest::answerStatus(bool *ok) const
{
    const bool known = d->readyState == 4 || (d->exchange && d->exchange->hasStatus());
    *ok = known;
    if (!known)
        return 0;
    return currentAnswer().status;
}

XmlDocument XmlHttpRequest::responseXML() const
{
    if (d->readyState != 4)
        return XmlDocument();
    if (!d->parsedAnswer) {
        d->parsedAnswer.emplace();
        d->parsedAnswer->loadXML(d->answer.body);
    }
    return *d->parsedAnswer;
}

void XmlHttpRequest::setMaxResponseBytes(qint64 bytes)
{
    d->maxResponseBytes = bytes;
}

void XmlHttpRequest::setTimeout(int milliseconds)
{
    d->timeoutMilliseconds = qMax(0, milliseconds);
}

void XmlHttpRequest::setTotalTimeout(int milliseconds)
{
    d->totalTimeoutMilliseconds = qMax(0, milliseconds);
}

ServerCertificate XmlHttpRequest::serverCertificate() const
{
    return d->readyState == 4 ? d->answer.certificate : ServerCertificate();
}

XmlHttpRequest::TrustOutcome XmlHttpRequest::trustCertificateAuthorities(const QString &pemFile)
{
    // The system's store alone is what a new access trusts: nothing to set
    // up before the first request.
    if (pemFile.isEmpty() && !NetworkAccess::existsForThisThread())
        return TrustOutcome::Trusted;
    switch (NetworkAccess::forThisThread().trustAlso(pemFile)) {
    case CertificateTrust::Outcome::Trusted:
        return TrustOutcome::Trusted;
    case CertificateTrust::Outcome::Unreadable:
        return TrustOutcome::Unreadable;
    case CertificateTrust::Outcome::NoCertificate:
        break;
    }
    return TrustOutcome::NoCertificate;
}

void XmlHttpRequest::answerBegun()
{
    if (d->readyState < 3)
        setReadyState(3);
}

void XmlHttpRequest::exchangeCompleted()
{
    if (!d->exchange)
        return;
    d->answer = d->exchange->takeAnswer();
    // Completion is reported from inside the exchange's own call.
    d->finishedExchange = std::move(d->exchange);
    setReadyState(4);
}

void XmlHttpRequest::setReadyState(int state)
{
    d->readyState = state;
    emit readyStateChanged(state);
}

void XmlHttpRequest::abandonExchange()
{
    if (std::unique_ptr<HttpExchange> exchange = std::move(d->exchange))
        exchange->cancel();
}
