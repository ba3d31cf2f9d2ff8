#include "HttpServer.h"

#include "HttpMessage.h"
#include "MailService.h"

#include <microhttpd.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <netdb.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr size_t StreamPieceBytes = 64 * 1024; // what the library asks a streamed body for at a time
constexpr int RetryAfterSeconds = 10;          // a client refused for want of memory may try again then
constexpr qint64 MaxPollWaitMs = 60 * 1000;    // a wait with nothing due still wakes once a minute

ConnectionGuard::Id idOf(MHD_Connection *connection)
{
    return reinterpret_cast<ConnectionGuard::Id>(connection);
}

qint64 monotonicMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The peer's address bytes: connections are counted per address.
QByteArray peerOf(const sockaddr *address)
{
    if (address && address->sa_family == AF_INET) {
        const auto *v4 = reinterpret_cast<const sockaddr_in *>(address);
        return QByteArray(reinterpret_cast<const char *>(&v4->sin_addr), sizeof v4->sin_addr);
    }
    if (address && address->sa_family == AF_INET6) {
        const auto *v6 = reinterpret_cast<const sockaddr_in6 *>(address);
        return QByteArray(reinterpret_cast<const char *>(&v6->sin6_addr), sizeof v6->sin6_addr);
    }
    return QByteArray("?");
}

MHD_Result takeHeader(void *cls, enum MHD_ValueKind, const char *key, const char *value)
{
    auto *request = static_cast<HttpRequest *>(cls);
    if (key)
        request->headers.insert(QByteArray(key).toLower(), QByteArray(value ? value : ""));
    return MHD_YES;
}

std::optional<BasicCredentials> basicCredentialsOf(MHD_Connection *connection)
{
    char *password = nullptr;
    char *user = MHD_basic_auth_get_username_password(connection, &password);
    std::optional<BasicCredentials> credentials;
    if (user)
        credentials = BasicCredentials{QByteArray(user), QByteArray(password ? password : "")};
    MHD_free(user);
    MHD_free(password);
    return credentials;
}

// A streamed body and what of its last piece is not sent yet.
struct StreamSource
{
    std::shared_ptr<ResponseBody> body;
    QByteArray piece;
    qsizetype sent = 0;
    bool failed = false;
};

ssize_t readStream(void *cls, uint64_t, char *buffer, size_t max)
{
    auto *source = static_cast<StreamSource *>(cls);
    while (source->sent >= source->piece.size()) {
        if (source->failed)
            return MHD_CONTENT_READER_END_WITH_ERROR;
        source->piece.clear();
        source->sent = 0;
        if (!source->body->next(&source->piece, &source->failed))
            return source->failed ? MHD_CONTENT_READER_END_WITH_ERROR : MHD_CONTENT_READER_END_OF_STREAM;
    }
    const size_t count = std::min(max, size_t(source->piece.size() - source->sent));
    std::memcpy(buffer, source->piece.constData() + source->sent, count);
    source->sent += qsizetype(count);
    return ssize_t(count);
}

void freeStream(void *cls)
{
    delete static_cast<StreamSource *>(cls);
}

void freeBody(void *body)
{
    delete static_cast<QByteArray *>(body);
}

MHD_Response *mhdResponseOf(HttpResponse &response)
{
    if (response.stream) {
        auto *source = new StreamSource{std::move(response.stream), {}, 0, false};
        const qint64 size = source->body->size();
        MHD_Response *made = MHD_create_response_from_callback(size < 0 ? MHD_SIZE_UNKNOWN : uint64_t(size),
                                                               StreamPieceBytes, &readStream, source, &freeStream);
        if (!made)
            delete source;
        return made;
    }
    auto *body = new QByteArray(std::move(response.body));
    MHD_Response *made =
        MHD_create_response_from_buffer_with_free_callback_cls(size_t(body->size()), body->data(), &freeBody, body);
    if (!made)
        delete body;
    return made;
}

} // namespace

// One request from its request line to the end of its answer.
struct HttpServer::RequestState
{
    HttpRequest request;
    bool headTaken = false;
    std::optional<HttpResponse> held; // decided on the head, sent once the request is in
    qint64 reservedBytes = 0;         // of the body budget
};

struct HttpServer::Callbacks
{
    static MHD_Result admit(void *cls, const sockaddr *address, socklen_t)
    {
        return static_cast<HttpServer *>(cls)->m_guard.admit(peerOf(address)) ? MHD_YES : MHD_NO;
    }

    static void connectionChanged(void *cls, MHD_Connection *connection, void **, MHD_ConnectionNotificationCode code)
    {
        auto *server = static_cast<HttpServer *>(cls);
        if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
            server->m_guard.closed(idOf(connection));
            return;
        }
        const MHD_ConnectionInfo *info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
        server->m_guard.opened(idOf(connection), peerOf(info ? info->client_addr : nullptr));
    }

    static void *requestLineSeen(void *cls, const char *uri, MHD_Connection *connection)
    {
        static_cast<HttpServer *>(cls)->m_guard.requestLineSeen(idOf(connection));
        auto *state = new RequestState;
        state->request.rawTarget = QByteArray(uri ? uri : "");
        return state;
    }

    static void requestDone(void *cls, MHD_Connection *connection, void **context, MHD_RequestTerminationCode)
    {
        auto *server = static_cast<HttpServer *>(cls);
        auto *state = static_cast<RequestState *>(*context);
        if (state)
            server->finishRequest(state);
        delete state;
        *context = nullptr;
        server->m_guard.answerDone(idOf(connection));
    }

    static MHD_Result request(void *cls, MHD_Connection *connection, const char *, const char *method, const char *,
                              const char *uploadData, size_t *uploadDataSize, void **context)
    {
        auto *server = static_cast<HttpServer *>(cls);
        auto *state = static_cast<RequestState *>(*context);
        if (!state)
            return MHD_NO;
        if (!state->headTaken) {
            state->request.method = QByteArray(method);
            return server->takeHead(connection, state) ? MHD_YES : MHD_NO;
        }
        if (*uploadDataSize > 0) {
            const bool taken = server->takeBodyPiece(state, uploadData, *uploadDataSize);
            *uploadDataSize = 0;
            return taken ? MHD_YES : MHD_NO;
        }
        HttpResponse response = state->held ? std::move(*state->held) : server->m_service.handle(state->request);
        server->finishRequest(state); // the body is no longer needed once answered
        return server->answer(connection, state, std::move(response)) ? MHD_YES : MHD_NO;
    }
};

HttpServer::HttpServer(MailService &service, bool logRequests, Limits limits)
    : m_service(service)
    , m_logRequests(logRequests)
    , m_limits(limits)
    , m_bodies(limits.maxBufferedBodyBytes)
    , m_guard(
          limits.connections, [this](ConnectionGuard::Id id) { closeConnection(id); }, &monotonicMs)
{
}

HttpServer::~HttpServer()
{
    stop();
}

void HttpServer::logLine(const HttpRequest &request, int status) const
{
    if (m_logRequests)
        std::fprintf(stderr, "%s %s %d\n", request.method.constData(), request.rawTarget.left(300).constData(), status);
}

void HttpServer::closeConnection(ConnectionGuard::Id id)
{
    const MHD_ConnectionInfo *info =
        MHD_get_connection_info(reinterpret_cast<MHD_Connection *>(id), MHD_CONNECTION_INFO_CONNECTION_FD);
    // The library notices the ended connection at its next look and lets go
    // of it; the descriptor stays its own to close.
    if (info)
        ::shutdown(info->connect_fd, SHUT_RDWR);
}

bool HttpServer::takeHead(MHD_Connection *connection, RequestState *state)
{
    state->headTaken = true;
    m_guard.headComplete(idOf(connection));
    HttpRequest &request = state->request;
    MHD_get_connection_values(connection, MHD_HEADER_KIND, &takeHeader, &request);
    request.basic = basicCredentialsOf(connection);

    MailService::HeadVerdict verdict = m_service.examineHead(&request);
    std::optional<HttpResponse> early = std::move(verdict.refusal);
    if (!early && !verdict.wantsBody && request.announcesBody())
        early = m_service.handle(request); // an answer that never looks at the body it was sent
    if (!early && verdict.wantsBody)
        early = admitBody(state);
    if (!early)
        return true;
    // Answered now, the body is never read, and the connection closes after
    // the answer; a request without a body keeps its connection.
    if (request.announcesBody())
        return answer(connection, state, std::move(*early));
    state->held = std::move(early);
    return true;
}

std::optional<HttpResponse> HttpServer::admitBody(RequestState *state)
{
    HttpRequest &request = state->request;
    bool ok = false;
    const qint64 announced = request.header("content-length").toLongLong(&ok);
    if (!ok || announced <= 0)
        return std::nullopt; // no body, or one in chunks, counted as it comes
    if (announced > m_limits.maxRequestBodyBytes)
        return HttpResponse::failure(
            413, "the request body is larger than " + QByteArray::number(m_limits.maxRequestBodyBytes) + " bytes");
    if (!m_bodies.reserve(announced)) {
        HttpResponse refusal =
            HttpResponse::failure(503, "the service holds as many request bodies as it can; try again shortly");
        refusal.addHeader("Retry-After", QByteArray::number(RetryAfterSeconds));
        return refusal;
    }
    state->reservedBytes = announced;
    request.body.reserve(announced);
    return std::nullopt;
}

bool HttpServer::takeBodyPiece(RequestState *state, const char *data, size_t size)
{
    HttpRequest &request = state->request;
    const qint64 total = request.body.size() + qint64(size);
    // A body in chunks (no length announced) is counted as it grows. No
    // answer can be given in the middle of a body: its connection is dropped.
    if (total > m_limits.maxRequestBodyBytes) {
        logLine(request, 413);
        return false;
    }
    if (total > state->reservedBytes) {
        if (!m_bodies.reserve(total - state->reservedBytes)) {
            logLine(request, 503);
            return false;
        }
        state->reservedBytes = total;
    }
    request.body.append(data, qsizetype(size));
    return true;
}

void HttpServer::finishRequest(RequestState *state)
{
    state->request.body = QByteArray();
    m_bodies.release(state->reservedBytes);
    state->reservedBytes = 0;
}

bool HttpServer::answer(MHD_Connection *connection, RequestState *state, HttpResponse response)
{
    logLine(state->request, response.status);
    MHD_Response *mhdResponse = mhdResponseOf(response);
    if (!mhdResponse)
        return false;
    for (const auto &header : response.headers)
        MHD_add_response_header(mhdResponse, header.first.constData(), header.second.constData());
    const MHD_Result result = MHD_queue_response(connection, unsigned(response.status), mhdResponse);
    MHD_destroy_response(mhdResponse);
    return result == MHD_YES;
}

bool HttpServer::listen(const QByteArray &host, quint16 port, QString *error)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo *found = nullptr;
    const QByteArray service = QByteArray::number(port);
    const int lookup = ::getaddrinfo(host.constData(), service.constData(), &hints, &found);
    if (lookup != 0 || !found) {
        *error = QStringLiteral("cannot resolve %1: %2")
                     .arg(QString::fromUtf8(host), QString::fromUtf8(gai_strerror(lookup)));
        return false;
    }
    m_ipv6 = (found->ai_family == AF_INET6);
    const int fd = ::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    const bool bound = fd >= 0 && ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0
        && ::bind(fd, found->ai_addr, found->ai_addrlen) == 0 && ::listen(fd, SOMAXCONN) == 0;
    const int bindError = errno;
    ::freeaddrinfo(found);
    if (!bound) {
        if (fd >= 0)
            ::close(fd);
        *error = QStringLiteral("cannot listen on %1 port %2: %3")
                     .arg(QString::fromUtf8(host))
                     .arg(port)
                     .arg(QString::fromLocal8Bit(std::strerror(bindError)));
        return false;
    }
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    m_port = ntohs(m_ipv6 ? reinterpret_cast<sockaddr_in6 *>(&address)->sin6_port
                          : reinterpret_cast<sockaddr_in *>(&address)->sin_port);
    m_listenSocket = fd;
    return true;
}

bool HttpServer::start(QString *error, std::optional<Tls> tls)
{
    m_tls = std::move(tls);
    unsigned flags = MHD_USE_EPOLL | MHD_USE_ERROR_LOG;
    if (m_ipv6)
        flags |= MHD_USE_IPv6;
    if (m_tls)
        flags |= MHD_USE_TLS;
    // Beyond the guard's own limit, room for connections it has ended and
    // the library has not let go of yet.
    const unsigned hardLimit = 2 * m_limits.connections.maxConnections;
    const char *certificate = m_tls ? m_tls->certificatePem.constData() : nullptr;
    const char *key = m_tls ? m_tls->keyPem.constData() : nullptr;
    m_daemon = MHD_start_daemon(
        flags, m_port, &Callbacks::admit, this, &Callbacks::request, this, MHD_OPTION_LISTEN_SOCKET, m_listenSocket,
        MHD_OPTION_CONNECTION_LIMIT, hardLimit, MHD_OPTION_CONNECTION_TIMEOUT, m_limits.idleTimeoutSeconds,
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, m_limits.maxRequestHeaderBytes, MHD_OPTION_URI_LOG_CALLBACK,
        &Callbacks::requestLineSeen, this, MHD_OPTION_NOTIFY_COMPLETED, &Callbacks::requestDone, this,
        MHD_OPTION_NOTIFY_CONNECTION, &Callbacks::connectionChanged, this,
        // Without TLS the list ends here.
        m_tls ? MHD_OPTION_HTTPS_MEM_CERT : MHD_OPTION_END, certificate, MHD_OPTION_HTTPS_MEM_KEY, key, MHD_OPTION_END);
    if (!m_daemon) {
        *error = m_tls ? QStringLiteral("cannot start the HTTPS server (does this libmicrohttpd speak TLS?)")
                       : QStringLiteral("cannot start the HTTP server");
        return false;
    }
    m_listenSocket = -1; // the daemon owns and closes it now
    m_wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    m_stopping = false;
    m_thread = std::thread([this] { run(); });
    return true;
}

void HttpServer::waitForWork()
{
    const MHD_DaemonInfo *info = MHD_get_daemon_info(m_daemon, MHD_DAEMON_INFO_EPOLL_FD);
    MHD_UNSIGNED_LONG_LONG libraryMs = 0;
    qint64 waitMs = MHD_get_timeout(m_daemon, &libraryMs) == MHD_YES ? qint64(libraryMs) : MaxPollWaitMs;
    const qint64 guardMs = m_guard.msUntilNextLimit();
    if (guardMs >= 0)
        waitMs = std::min(waitMs, guardMs);
    pollfd watched[2] = {{info ? info->epoll_fd : -1, POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
    ::poll(watched, 2, int(std::min(waitMs, MaxPollWaitMs)));
}

void HttpServer::run()
{
    while (!m_stopping) {
        waitForWork();
        MHD_run(m_daemon);
        m_guard.sweep();
    }
}

void HttpServer::stop()
{
    if (m_thread.joinable()) {
        m_stopping = true;
        const uint64_t one = 1;
        if (::write(m_wakeFd, &one, sizeof one) < 0) {
            // A full counter is already a wake-up.
        }
        m_thread.join();
    }
    if (m_daemon) {
        MHD_stop_daemon(m_daemon);
        m_daemon = nullptr;
    }
    if (m_wakeFd >= 0) {
        ::close(m_wakeFd);
        m_wakeFd = -1;
    }
    if (m_listenSocket >= 0) {
        ::close(m_listenSocket);
        m_listenSocket = -1;
    }
}
