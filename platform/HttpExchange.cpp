#include "HttpExchange.h"

#include "NetworkAccess.h"

#include <QNetworkReply>
#include <QNetworkRequest>

#include <algorithm>
#include <utility>

namespace {

// A Content-Length header alone must not commit more memory than this; a
// longer answer grows its buffer as the bytes really arrive.
constexpr qint64 MaxReserveBytes = 64 * 1024 * 1024;

// The network layer takes at most this much of an answer from the system
// before we have taken it over: a large body then arrives piece by piece, so
// passing a piece on overlaps with receiving the next, and no one piece
// holds the whole body.
constexpr qint64 NetworkReadBufferBytes = 1024 * 1024;

bool isHttpLevelError(QNetworkReply::NetworkError error)
{
    // Content (2xx), server (4xx) errors and proxy authentication are Qt's
    // names for HTTP statuses; the status itself is the answer.
    return (error >= QNetworkReply::ContentAccessDenied && error <= QNetworkReply::UnknownContentError)
        || (error >= QNetworkReply::InternalServerError && error <= QNetworkReply::UnknownServerError)
        || error == QNetworkReply::ProxyAuthenticationRequiredError
        || error == QNetworkReply::ProtocolInvalidOperationError; // Qt's name for 400
}

} // namespace

HttpExchange::HttpExchange(HttpRequestSpec spec, Notify answerBegun, Notify completed, QObject *parent)
    : QObject(parent), m_spec(std::move(spec)), m_answerBegun(std::move(answerBegun)), m_completed(std::move(completed))
{
}

HttpExchange::~HttpExchange()
{
    release();
}

void HttpExchange::start()
{
    const QUrl url(m_spec.url, QUrl::StrictMode);
    if (!url.isValid() || url.isRelative()) {
        failWith(NetworkCode::InvalidUrl);
        return;
    }
    const QString scheme = url.scheme().toLower();
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https")) {
        failWith(NetworkCode::UnrecognizedScheme);
        return;
    }
    if (url.host().isEmpty()) {
        failWith(NetworkCode::InvalidUrl);
        return;
    }

    int refusal = NetworkCode::InternalError;
    m_reply = NetworkAccess::forThisThread().send(m_spec, url, &refusal);
    if (!m_reply) {
        failWith(refusal);
        return;
    }
    m_reply->setReadBufferSize(NetworkReadBufferBytes);
    connect(m_reply, &QNetworkReply::metaDataChanged, this, &HttpExchange::headersArrived);
    connect(m_reply, &QNetworkReply::readyRead, this, &HttpExchange::bodyArrived);
    connect(m_reply, &QNetworkReply::finished, this, &HttpExchange::finished);
}

void HttpExchange::cancel()
{
    m_completed = nullptr;
    m_answerBegun = nullptr;
    m_bodyGrew = nullptr;
    release();
}

void HttpExchange::failWith(int networkCode)
{
    release();
    m_answer = HttpAnswer();
    m_answer.status = networkCode;
    complete();
}

void HttpExchange::headersArrived()
{
    if (!m_reply || !m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid())
        return;
    captureStatusAndHeaders();
    const QVariant declared = m_reply->header(QNetworkRequest::ContentLengthHeader);
    if (declared.isValid()) {
        const qint64 length = declared.toLongLong();
        if (m_spec.maxResponseBytes > 0 && length > m_spec.maxResponseBytes) {
            failWith(NetworkCode::InternalError);
            return;
        }
        m_answer.body.reserve(std::clamp<qint64>(length, 0, MaxReserveBytes));
    }
    announceBegun();
}

void HttpExchange::bodyArrived()
{
    if (!m_reply)
        return;
    const qint64 available = m_reply->bytesAvailable();
    if (available <= 0)
        return;
    const qint64 had = m_answer.body.size();
    if (m_spec.maxResponseBytes > 0 && m_bodyHandedOver + had + available > m_spec.maxResponseBytes) {
        failWith(NetworkCode::InternalError);
        return;
    }
    // Read straight into the answer: no intermediate copy.
    m_answer.body.resize(had + available);
    const qint64 read = m_reply->read(m_answer.body.data() + had, available);
    m_answer.body.resize(had + std::max<qint64>(read, 0));
    announceBegun();
    // A copy: the callee may cancel the exchange, which clears the original.
    if (Notify grew = m_bodyGrew)
        grew();
}

QByteArray HttpExchange::takeBodySoFar()
{
    QByteArray piece = std::exchange(m_answer.body, QByteArray());
    m_bodyHandedOver += piece.size();
    return piece;
}

void HttpExchange::finished()
{
    if (!m_reply)
        return;
    const auto error = m_reply->error();
    const QVariant status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (error == QNetworkReply::NoError || (isHttpLevelError(error) && status.isValid())) {
        bodyArrived();
        if (m_complete)
            return; // the cap was hit by the last bytes
        captureStatusAndHeaders();
        if (bodyCutShort()) {
            // The network layer may report a connection reset inside the
            // body as a normal end: the announced length tells.
            m_answer = HttpAnswer();
            m_answer.status = NetworkCode::ConnectionAborted;
        }
    } else {
        // A transfer broken below HTTP is a failure even when its status
        // line had arrived: a cut-off body must not pass for an answer.
        m_answer = HttpAnswer();
        m_answer.status = networkCodeFor(error);
    }
    release();
    complete();
}

bool HttpExchange::bodyCutShort() const
{
    const QVariant announced = m_reply->header(QNetworkRequest::ContentLengthHeader);
    if (!announced.isValid() || m_spec.verb == "HEAD" || m_answer.status == 204 || m_answer.status == 304)
        return false;
    // A compressed body is unpacked on the way; its length is another one.
    const QByteArray encoding = m_reply->rawHeader("Content-Encoding").trimmed().toLower();
    if (!encoding.isEmpty() && encoding != "identity")
        return false;
    return m_bodyHandedOver + m_answer.body.size() < announced.toLongLong();
}

void HttpExchange::captureStatusAndHeaders()
{
    m_answer.status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    m_answer.statusText = m_reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toByteArray();
    m_answer.headers = m_reply->rawHeaderPairs();
    m_hasStatus = true;
}

void HttpExchange::announceBegun()
{
    if (m_begun)
        return;
    m_begun = true;
    // A copy: the callee may cancel the exchange, which clears the original.
    if (Notify begun = m_answerBegun)
        begun();
}

void HttpExchange::complete()
{
    m_complete = true;
    if (Notify completed = std::move(m_completed))
        completed();
}

void HttpExchange::release()
{
    QNetworkReply *reply = m_reply;
    m_reply = nullptr;
    if (!reply)
        return;
    reply->disconnect(this);
    if (reply->isRunning())
        reply->abort();
    reply->deleteLater();
}

int HttpExchange::networkCodeFor(int replyError)
{
    switch (QNetworkReply::NetworkError(replyError)) {
    case QNetworkReply::ConnectionRefusedError:
    case QNetworkReply::ProxyConnectionRefusedError:
    case QNetworkReply::SslHandshakeFailedError:
        return NetworkCode::CannotConnect;
    case QNetworkReply::RemoteHostClosedError:
    case QNetworkReply::ProxyConnectionClosedError:
    case QNetworkReply::ProtocolFailure:
        return NetworkCode::ConnectionAborted;
    case QNetworkReply::HostNotFoundError:
    case QNetworkReply::ProxyNotFoundError:
        return NetworkCode::NameNotResolved;
    case QNetworkReply::TimeoutError:
    case QNetworkReply::ProxyTimeoutError:
    // Only the inactivity time-out cancels a transfer we did not abort.
    case QNetworkReply::OperationCanceledError:
        return NetworkCode::Timeout;
    case QNetworkReply::ProtocolUnknownError:
        return NetworkCode::UnrecognizedScheme;
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
    case QNetworkReply::BackgroundRequestNotAllowedError:
        return NetworkCode::NoDirectAccess;
    case QNetworkReply::UnknownProxyError:
    case QNetworkReply::ProxyAuthenticationRequiredError:
        return NetworkCode::ProxyFailure;
    default:
        return NetworkCode::InternalError;
    }
}
