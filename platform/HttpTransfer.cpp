#include "HttpTransfer.h"

#include "NetworkAccess.h"
#include "NetworkCode.h"

#include <QHostAddress>
#include <QUrl>

#include <algorithm>
#include <utility>

namespace {

constexpr int StatusUnauthorized = 401;
constexpr int StatusProxyAuthenticationRequired = 407;
constexpr int StatusNoContent = 204;
constexpr int StatusNotModified = 304;

// A header name or a verb: an HTTP token, nothing that could end the line
// or the field early.
bool isToken(const QByteArray &text)
{
    static constexpr char Punctuation[] = "!#$%&'*+-.^_`|~";
    if (text.isEmpty())
        return false;
    return std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
            || (c != '\0' && std::char_traits<char>::find(Punctuation, sizeof Punctuation - 1, c));
    });
}

// A value that can stand in a header line (or, for a user name, inside a
// Digest answer) without ending it.
bool fitsInHeaderLine(const QByteArray &value)
{
    return !value.contains('\r') && !value.contains('\n') && !value.contains('\0');
}

// Verbs a service answers without changing anything: libcurl may send such a
// request once more on a fresh connection when a kept one died unanswered.
bool isSafeToRepeat(const QByteArray &verb)
{
    return verb == "GET" || verb == "HEAD" || verb == "PROPFIND" || verb == "OPTIONS";
}

bool isLoopback(const QString &host)
{
    return host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0 || QHostAddress(host).isLoopback();
}

// An answer libcurl may still answer itself with credentials: nothing of it
// is announced until the transfer ends.
bool mayBeChallengeAnswered(int status)
{
    return status == StatusUnauthorized || status == StatusProxyAuthenticationRequired;
}

} // namespace

HttpTransfer::HttpTransfer(HttpRequestSpec spec)
    : m_spec(std::move(spec))
{
}

HttpTransfer::~HttpTransfer()
{
    abandon();
}

int HttpTransfer::prepare(NetworkAccess &access)
{
    m_access = &access;
    const QUrl url(m_spec.url, QUrl::StrictMode);
    if (!url.isValid() || url.isRelative())
        return NetworkCode::InvalidUrl;
    const QString scheme = url.scheme().toLower();
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https"))
        return NetworkCode::UnrecognizedScheme;
    if (url.host().isEmpty())
        return NetworkCode::InvalidUrl;
    if (!isToken(m_spec.verb) || !fitsInHeaderLine(m_spec.user.toUtf8()) || m_spec.password.contains(QChar(0)))
        return NetworkCode::InvalidRequestFormat;
    const int refusal = setHeaders();
    if (refusal != 0)
        return refusal;
    m_account = access.accountFor(m_spec, NetworkAccess::originOf(url));
    m_url = url.toEncoded(QUrl::RemoveUserInfo | QUrl::RemoveFragment);
    m_proxyBypassed = isLoopback(url.host());
    return setUpHandle();
}

int HttpTransfer::setUpHandle()
{
    m_handle = m_access->takeHandle(m_account, &m_handleKeptState);
    if (!m_handle)
        return NetworkCode::OutOfHandles;
    CURL *h = m_handle;
    curl_easy_setopt(h, CURLOPT_URL, m_url.constData());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
    // HTTP/1.1 on every connection: an answer's status text is part of it,
    // and HTTP/2 has none.
    curl_easy_setopt(h, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1));
    // No signal handling around every call; sockets are written without
    // raising SIGPIPE.
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    curl_easy_setopt(h, CURLOPT_PREREQFUNCTION, beforeSending);
    curl_easy_setopt(h, CURLOPT_PREREQDATA, this);
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, receiveHeader);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, receiveBody);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(h, CURLOPT_BUFFERSIZE, ReceiveBufferBytes);
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, m_headerList);
    curl_easy_setopt(h, CURLOPT_PROXY, m_proxyBypassed ? "" : nullptr);
    setMethodAndBody();
    setCredentials();
    setLimits();
    m_certificate.watch(h);
    return 0;
}

void HttpTransfer::setMethodAndBody()
{
    CURL *h = m_handle;
    const QByteArray &verb = m_spec.verb;
    const bool carriesBody = !m_spec.body.isEmpty() || verb == "POST" || verb == "PUT";
    const bool head = verb == "HEAD";
    if (carriesBody) {
        // libcurl reads the body straight from our buffer, piece by piece.
        const bool large = m_spec.body.size() > LargeSendBufferBytes;
        curl_easy_setopt(h, CURLOPT_UPLOAD_BUFFERSIZE, large ? LargeSendBufferBytes : SendBufferBytes);
        curl_easy_setopt(h, CURLOPT_POST, 1L);
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(m_spec.body.size()));
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, m_spec.body.constData());
    } else {
        curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
        curl_easy_setopt(h, CURLOPT_NOBODY, head ? 1L : 0L);
    }
    const bool verbImplied = verb == "GET" || head || (carriesBody && verb == "POST");
    curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, verbImplied ? nullptr : verb.constData());
}

// Header lines as given, a repeated name joined into one line. libcurl adds
// no content type and no expectation of its own: a body is sent as it is,
// at once.
int HttpTransfer::setHeaders()
{
    HttpHeaders joined;
    for (const auto &[name, value] : m_spec.headers) {
        if (!isToken(name) || !fitsInHeaderLine(value))
            return NetworkCode::InvalidRequestFormat;
        // A plain name for the lambda: clang before 16 cannot capture a
        // structured binding.
        const auto &headerName = name;
        const auto same = std::find_if(joined.begin(), joined.end(), [&headerName](const auto &header) {
            return header.first.compare(headerName, Qt::CaseInsensitive) == 0;
        });
        if (same != joined.end())
            same->second += ", " + value;
        else
            joined.append({name, value});
    }
    const auto given = [&joined](const char *name) {
        return std::any_of(joined.begin(), joined.end(),
                           [name](const auto &header) { return header.first.compare(name, Qt::CaseInsensitive) == 0; });
    };
    QList<QByteArray> lines;
    for (const auto &[name, value] : joined)
        lines.append(value.trimmed().isEmpty() ? name + ';' : name + ": " + value);
    for (const char *name : {"Content-Type", "Expect"}) {
        if (!given(name))
            lines.append(QByteArray(name) + ':');
    }
    for (const QByteArray &line : lines) {
        curl_slist *longer = curl_slist_append(m_headerList, line.constData());
        if (!longer)
            return NetworkCode::OutOfHandles;
        m_headerList = longer;
    }
    return 0;
}

void HttpTransfer::setCredentials()
{
    CURL *h = m_handle;
    curl_easy_setopt(h, CURLOPT_HTTPAUTH, long(CURLAUTH_BASIC | CURLAUTH_DIGEST));
    if (!m_account.presentsCredentials) {
        curl_easy_setopt(h, CURLOPT_USERNAME, nullptr);
        curl_easy_setopt(h, CURLOPT_PASSWORD, nullptr);
        return;
    }
    curl_easy_setopt(h, CURLOPT_USERNAME, m_account.user.toUtf8().constData());
    curl_easy_setopt(h, CURLOPT_PASSWORD, m_account.password.toUtf8().constData());
}

// The inactivity limit is a low-speed limit (no byte for that long, in whole
// seconds) and bounds the connect too; the total limit bounds everything.
void HttpTransfer::setLimits()
{
    CURL *h = m_handle;
    const int inactivity = m_spec.inactivityTimeoutMilliseconds;
    const long inactivitySeconds = inactivity > 0 ? std::max(1L, long((inactivity + 999) / 1000)) : 0L;
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, inactivity > 0 ? 1L : 0L);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, inactivitySeconds);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, long(std::max(0, inactivity)));
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, long(std::max(0, m_spec.totalTimeoutMilliseconds)));
}

bool HttpTransfer::refusedKeptState(CURLcode result) const
{
    // Authentication state kept from earlier requests (a Digest nonce the
    // service has forgotten, say after a restart) answered with a plain 401
    // that libcurl does not answer again: the request is worth one more try
    // from a fresh challenge. A 401 is no answer to the request itself, so
    // nothing is done twice.
    return result == CURLE_OK && m_answer.status == StatusUnauthorized && m_answersSeen == 1 && m_handleKeptState
        && m_account.presentsCredentials;
}

int HttpTransfer::restartFresh()
{
    giveBackHandle(false);
    m_answer = HttpAnswer();
    m_refusal = 0;
    m_headerBytes = 0;
    m_bodyHandedOver = 0;
    m_requestsSent = 0;
    m_answersSeen = 0;
    m_interim = false;
    m_receivePaused = false;
    return setUpHandle();
}

void HttpTransfer::finish(CURLcode result)
{
    if (result != CURLE_OK)
        fail(failureCode(result));
    const int status = m_answer.status;
    if (m_spec.hasCredentials && m_access && !NetworkCode::isNetworkFailure(status))
        m_access->noteAnswer(m_account, status);
    // Credentials refused: what libcurl learnt with them is not kept.
    release(!mayBeChallengeAnswered(status));
}

void HttpTransfer::fail(int networkCode)
{
    const ServerCertificate certificate = m_certificate.certificate();
    m_answer = HttpAnswer();
    m_answer.status = networkCode;
    if (NetworkCode::isSecureChannelFailure(networkCode))
        m_answer.certificate = certificate;
    m_hasStatus = true;
    release(true);
}

void HttpTransfer::abandon()
{
    // A handle left paused mid-answer is not lent out again.
    release(!m_receivePaused);
}

void HttpTransfer::release(bool keepState)
{
    giveBackHandle(keepState);
    curl_slist_free_all(m_headerList);
    m_headerList = nullptr;
    // A submission of many megabytes must not stay in memory until the next
    // request: the body is not looked at again.
    m_spec.body = QByteArray();
}

void HttpTransfer::giveBackHandle(bool keepState)
{
    CURL *handle = std::exchange(m_handle, nullptr);
    if (!handle)
        return;
    // Nothing the handle keeps may lead back to this transfer.
    curl_easy_setopt(handle, CURLOPT_PREREQDATA, nullptr);
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, nullptr);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, nullptr);
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, nullptr);
    curl_easy_setopt(handle, CURLOPT_POSTFIELDS, nullptr);
    curl_easy_setopt(handle, CURLOPT_SSL_CTX_FUNCTION, nullptr);
    curl_easy_setopt(handle, CURLOPT_SSL_CTX_DATA, nullptr);
    if (m_access)
        m_access->giveBackHandle(handle, keepState);
    else
        CurlHandlePool::discard(handle);
}

bool HttpTransfer::takeBegun()
{
    if (!m_begun || m_begunReported)
        return false;
    m_begunReported = true;
    return true;
}

bool HttpTransfer::takeBodyGrew()
{
    return std::exchange(m_bodyGrew, false);
}

QByteArray HttpTransfer::takeBodySoFar()
{
    QByteArray piece = std::exchange(m_answer.body, QByteArray());
    m_bodyHandedOver += piece.size();
    // libcurl hands the piece it held back to receiveBody at once, and
    // reads on from the event loop.
    if (std::exchange(m_receivePaused, false) && m_handle)
        curl_easy_pause(m_handle, CURLPAUSE_CONT);
    return piece;
}

// The body of a challenge libcurl answers itself is never handed to the
// caller, so it is not held back either.
bool HttpTransfer::windowFull(size_t length)
{
    if (m_receiveWindow <= 0 || m_answer.body.isEmpty() || m_answer.body.size() + qint64(length) <= m_receiveWindow
        || mayBeChallengeAnswered(m_answer.status))
        return false;
    m_receivePaused = true;
    return true;
}

int HttpTransfer::beforeSending(void *transfer, char *, char *, int, int)
{
    if (!transfer || !static_cast<HttpTransfer *>(transfer)->maySend())
        return CURL_PREREQFUNC_ABORT;
    return CURL_PREREQFUNC_OK;
}

// libcurl sends a request again after a challenge, and after a kept
// connection died without a byte of answer. The latter may repeat what the
// service already did (store a message, move one): such a request goes out
// once, and its failure is the caller's to judge.
bool HttpTransfer::maySend()
{
    if (m_requestsSent > m_answersSeen && !isSafeToRepeat(m_spec.verb)) {
        m_refusal = NetworkCode::ConnectionAborted;
        return false;
    }
    ++m_requestsSent;
    return true;
}

size_t HttpTransfer::receiveHeader(char *bytes, size_t size, size_t count, void *transfer)
{
    const size_t length = size * count;
    if (!transfer || !static_cast<HttpTransfer *>(transfer)->headerLine(QByteArray(bytes, qsizetype(length))))
        return 0; // libcurl stops the transfer
    return length;
}

size_t HttpTransfer::receiveBody(char *bytes, size_t size, size_t count, void *transfer)
{
    const size_t length = size * count;
    auto *self = static_cast<HttpTransfer *>(transfer);
    if (self && self->windowFull(length))
        return CURL_WRITEFUNC_PAUSE; // libcurl keeps the piece and stops reading
    if (!self || !self->bodyPiece(bytes, length))
        return 0; // libcurl stops the transfer
    return length;
}

// Status lines, header lines and the empty line after them, of every answer
// libcurl reads for the request: interim ones (1xx), challenges it answers
// itself, and the final one, which is the one kept.
bool HttpTransfer::headerLine(QByteArray line)
{
    m_headerBytes += line.size();
    if (m_headerBytes > MaxHeaderBytes) {
        m_refusal = NetworkCode::InternalError;
        return false;
    }
    while (line.endsWith('\n') || line.endsWith('\r'))
        line.chop(1);

    if (line.startsWith("HTTP/")) {
        const QList<QByteArray> parts = line.split(' ');
        m_answer.status = parts.size() > 1 ? parts.at(1).toInt() : 0;
        const qsizetype reasonAt = parts.size() > 2 ? parts.at(0).size() + parts.at(1).size() + 2 : line.size();
        m_answer.statusText = line.mid(reasonAt);
        m_answer.headers.clear();
        m_interim = m_answer.status >= 100 && m_answer.status < 200;
        if (!m_interim)
            ++m_answersSeen;
        return true;
    }
    if (m_interim)
        return true;
    if (line.isEmpty())
        return headersComplete();
    if ((line.startsWith(' ') || line.startsWith('\t')) && !m_answer.headers.isEmpty()) {
        m_answer.headers.last().second += ' ' + line.trimmed(); // a folded line continues its header
        return true;
    }
    const qsizetype colon = line.indexOf(':');
    if (colon <= 0)
        return true;
    const QByteArray name = line.left(colon).trimmed();
    const QByteArray value = line.mid(colon + 1).trimmed();
    for (auto &[known, knownValue] : m_answer.headers) {
        if (known.compare(name, Qt::CaseInsensitive) == 0) {
            knownValue += ", " + value;
            return true;
        }
    }
    m_answer.headers.append({name, value});
    return true;
}

bool HttpTransfer::headersComplete()
{
    const int status = m_answer.status;
    // Asked now, while libcurl still holds the channel the answer came over.
    m_answer.certificate = CertificateCapture::channelCertificate(m_handle);
    if (mayBeChallengeAnswered(status))
        return true;
    const bool bodyExpected = m_spec.verb != "HEAD" && status != StatusNoContent && status != StatusNotModified;
    for (const auto &[name, value] : std::as_const(m_answer.headers)) {
        if (!bodyExpected || name.compare("Content-Length", Qt::CaseInsensitive) != 0)
            continue;
        bool ok = false;
        const qint64 length = value.toLongLong(&ok);
        if (!ok)
            break;
        if (m_spec.maxResponseBytes > 0 && length > m_spec.maxResponseBytes) {
            m_refusal = NetworkCode::InternalError;
            return false;
        }
        m_answer.body.reserve(qsizetype(std::clamp<qint64>(length, 0, MaxReserveBytes)));
    }
    m_hasStatus = true;
    m_begun = true;
    return true;
}

bool HttpTransfer::bodyPiece(const char *bytes, size_t length)
{
    const qint64 had = m_bodyHandedOver + m_answer.body.size();
    if (m_spec.maxResponseBytes > 0 && had + qint64(length) > m_spec.maxResponseBytes) {
        m_refusal = NetworkCode::InternalError;
        return false;
    }
    m_answer.body.append(bytes, qsizetype(length));
    if (mayBeChallengeAnswered(m_answer.status))
        return true;
    m_hasStatus = true;
    m_begun = true;
    m_bodyGrew = true;
    return true;
}

int HttpTransfer::failureCode(CURLcode result) const
{
    if (m_refusal != 0)
        return m_refusal;
    switch (result) {
    case CURLE_UNSUPPORTED_PROTOCOL:
        return NetworkCode::UnrecognizedScheme;
    case CURLE_URL_MALFORMAT:
        return NetworkCode::InvalidUrl;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        return NetworkCode::NameNotResolved;
    case CURLE_COULDNT_CONNECT:
    case CURLE_INTERFACE_FAILED:
        return NetworkCode::CannotConnect;
    case CURLE_OPERATION_TIMEDOUT:
        return NetworkCode::Timeout;
    // The connection ended, or carried something other than an answer,
    // before the answer was whole: a cut-off body never passes for one.
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_UPLOAD_FAILED:
    case CURLE_SEND_FAIL_REWIND:
    case CURLE_BAD_CONTENT_ENCODING:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
        return NetworkCode::ConnectionAborted;
    case CURLE_PROXY:
        return NetworkCode::ProxyFailure;
    case CURLE_ABORTED_BY_CALLBACK:
        return NetworkCode::OperationCancelled;
    case CURLE_OUT_OF_MEMORY:
        return NetworkCode::OutOfHandles;
    case CURLE_PEER_FAILED_VERIFICATION: {
        // What the handshake's own checks found, when they could be watched;
        // else what libcurl says of them.
        long verification = m_certificate.verificationError();
        if (m_certificate.certificate().isNull())
            curl_easy_getinfo(m_handle, CURLINFO_SSL_VERIFYRESULT, &verification);
        return CertificateCapture::networkCodeForVerification(verification);
    }
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_CLIENTCERT:
    case CURLE_USE_SSL_FAILED:
        return NetworkCode::SecureChannelFailed;
    default:
        return NetworkCode::InternalError;
    }
}
