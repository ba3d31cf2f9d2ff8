#include "XmlHttpRequest.h"

#include "BlockingHttp.h"
#include "HttpExchange.h"

#include <QPointer>

#include <optional>
#include <utility>

struct XmlHttpRequest::Private
{
    int readyState = 0;
    bool async = true;
    bool sent = false;
    HttpRequestSpec spec;
    HttpAnswer answer;
    QPointer<HttpExchange> exchange; // the asynchronous request in flight
    mutable std::optional<XmlDocument> parsedAnswer;
    qint64 maxResponseBytes = DefaultMaxResponseBytes;
    int timeoutMilliseconds = DefaultTimeoutMilliseconds;
};

XmlHttpRequest::XmlHttpRequest(QObject *parent)
    : QObject(parent), d(std::make_unique<Private>())
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
        d->spec.headers.append({ name, value });
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
    if (!d->async) {
        d->answer = BlockingHttp::run(d->spec);
        // A submission of many megabytes must not stay in memory until the
        // next request: the body is not looked at again.
        d->spec.body = QByteArray();
        setReadyState(4);
        return;
    }
    d->exchange = new HttpExchange(d->spec, [this] { answerBegun(); }, [this] { exchangeCompleted(); }, this);
    d->exchange->setBodyGrew([this] { emit responseTextGrew(); });
    d->spec.body = QByteArray(); // the exchange holds what it sends, and lets it go when done
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

QByteArray XmlHttpRequest::statusText() const
{
    if (d->exchange)
        return d->exchange->answer().statusText;
    return d->answer.statusText;
}

QByteArray XmlHttpRequest::getAllResponseHeaders() const
{
    const HttpHeaders &headers = d->exchange ? d->exchange->answer().headers : d->answer.headers;
    QByteArray all;
    for (const auto &[name, value] : headers)
        all += name + ": " + value + "\r\n";
    return all;
}

QByteArray XmlHttpRequest::getResponseHeader(const QByteArray &name) const
{
    const HttpHeaders &headers = d->exchange ? d->exchange->answer().headers : d->answer.headers;
    for (const auto &[key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return QByteArray();
}

const QByteArray &XmlHttpRequest::responseText() const
{
    if (d->exchange)
        return d->exchange->answer().body;
    return d->answer.body;
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

int XmlHttpRequest::answerStatus(bool *ok) const
{
    const bool known = d->readyState == 4 || (d->exchange && d->exchange->hasStatus());
    *ok = known;
    if (!known)
        return 0;
    return d->readyState == 4 ? d->answer.status : d->exchange->answer().status;
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

void XmlHttpRequest::answerBegun()
{
    if (d->readyState < 3)
        setReadyState(3);
}

void XmlHttpRequest::exchangeCompleted()
{
    HttpExchange *exchange = d->exchange;
    d->exchange = nullptr;
    if (!exchange)
        return;
    d->answer = exchange->takeAnswer();
    // Completion may be reported from inside the exchange's own calls.
    exchange->deleteLater();
    setReadyState(4);
}

void XmlHttpRequest::setReadyState(int state)
{
    d->readyState = state;
    emit readyStateChanged(state);
}

void XmlHttpRequest::abandonExchange()
{
    HttpExchange *exchange = d->exchange;
    d->exchange = nullptr;
    if (!exchange)
        return;
    exchange->cancel();
    exchange->deleteLater();
}
