#include "HttpServer.h"

#include "HttpMessage.h"
#include "MailService.h"

#include <microhttpd.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// One request from its first line to the end of its answer.
struct RequestState
{
    HttpRequest request;
    bool headersTaken = false;
    bool bodyTooLarge = false;
};

void *onUriSeen(void *, const char *uri, struct MHD_Connection *)
{
    auto *state = new RequestState;
    state->request.rawTarget = QByteArray(uri ? uri : "");
    return state;
}

void onRequestDone(void *, struct MHD_Connection *, void **context, enum MHD_RequestTerminationCode)
{
    delete static_cast<RequestState *>(*context);
    *context = nullptr;
}

MHD_Result takeHeader(void *cls, enum MHD_ValueKind, const char *key, const char *value)
{
    auto *request = static_cast<HttpRequest *>(cls);
    if (key)
        request->headers.insert(QByteArray(key).toLower(), QByteArray(value ? value : ""));
    return MHD_YES;
}

void freeBody(void *body)
{
    delete static_cast<QByteArray *>(body);
}

MHD_Result queue(struct MHD_Connection *connection, HttpResponse response)
{
    auto *body = new QByteArray(std::move(response.body));
    MHD_Response *mhdResponse = MHD_create_response_from_buffer_with_free_callback_cls(
        size_t(body->size()), body->data(), &freeBody, body);
    if (!mhdResponse) {
        delete body;
        return MHD_NO;
    }
    for (const auto &header : response.headers)
        MHD_add_response_header(mhdResponse, header.first.constData(), header.second.constData());
    const MHD_Result result = MHD_queue_response(connection, unsigned(response.status), mhdResponse);
    MHD_destroy_response(mhdResponse);
    return result;
}

void logLine(const HttpServer::Handler &handler, const HttpRequest &request, int status)
{
    if (handler.logRequests)
        std::fprintf(stderr, "%s %s %d\n", request.method.constData(), request.rawTarget.left(300).constData(), status);
}

MHD_Result onRequest(void *cls, struct MHD_Connection *connection, const char *, const char *method,
                     const char *, const char *uploadData, size_t *uploadDataSize, void **context)
{
    const auto *handler = static_cast<const HttpServer::Handler *>(cls);
    auto *state = static_cast<RequestState *>(*context);
    if (!state)
        return MHD_NO;
    HttpRequest &request = state->request;
    if (!state->headersTaken) {
        state->headersTaken = true;
        request.method = QByteArray(method);
        MHD_get_connection_values(connection, MHD_HEADER_KIND, &takeHeader, &request);
        bool ok = false;
        const qint64 announced = request.header("content-length").toLongLong(&ok);
        if (ok && announced > HttpServer::MaxRequestBodyBytes) {
            // Answered before the body is read; the connection then closes.
            logLine(*handler, request, 413);
            return queue(connection, HttpResponse::failure(413, "the request body is larger than "
                                                                    + QByteArray::number(HttpServer::MaxRequestBodyBytes)
                                                                    + " bytes"));
        }
        if (ok && announced > 0)
            request.body.reserve(announced);
        return MHD_YES;
    }
    if (*uploadDataSize > 0) {
        if (request.body.size() + qint64(*uploadDataSize) > HttpServer::MaxRequestBodyBytes) {
            // A chunked body past the limit: no answer can be queued in the
            // middle of a body, so the connection is dropped.
            logLine(*handler, request, 413);
            return MHD_NO;
        }
        request.body.append(uploadData, qsizetype(*uploadDataSize));
        *uploadDataSize = 0;
        return MHD_YES;
    }
    HttpResponse response = handler->service->handle(request);
    logLine(*handler, request, response.status);
    request.body.clear();
    return queue(connection, std::move(response));
}

} // namespace

HttpServer::HttpServer(MailService &service, bool logRequests) : m_handler{&service, logRequests} {}

HttpServer::~HttpServer()
{
    stop();
}

bool HttpServer::listen(const QByteArray &host, quint16 port, QString *error)
{
    addrinfo hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo *found = nullptr;
    const QByteArray service = QByteArray::number(port);
    const int lookup = ::getaddrinfo(host.constData(), service.constData(), &hints, &found);
    if (lookup != 0 || !found) {
        *error = QStringLiteral("cannot resolve %1: %2").arg(QString::fromUtf8(host), QString::fromUtf8(gai_strerror(lookup)));
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
    sockaddr_storage address {};
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    m_port = ntohs(m_ipv6 ? reinterpret_cast<sockaddr_in6 *>(&address)->sin6_port
                          : reinterpret_cast<sockaddr_in *>(&address)->sin_port);
    m_listenSocket = fd;
    return true;
}

bool HttpServer::start(QString *error)
{
    unsigned flags = MHD_USE_AUTO_INTERNAL_THREAD | MHD_USE_ERROR_LOG;
    if (m_ipv6)
        flags |= MHD_USE_IPv6;
    m_daemon = MHD_start_daemon(
        flags, m_port, nullptr, nullptr, &onRequest, &m_handler,
        MHD_OPTION_LISTEN_SOCKET, m_listenSocket,
        MHD_OPTION_CONNECTION_LIMIT, MaxConnections,
        MHD_OPTION_PER_IP_CONNECTION_LIMIT, MaxConnectionsPerPeer,
        MHD_OPTION_CONNECTION_TIMEOUT, IdleTimeoutSeconds,
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, MaxRequestHeaderBytes,
        MHD_OPTION_URI_LOG_CALLBACK, &onUriSeen, nullptr,
        MHD_OPTION_NOTIFY_COMPLETED, &onRequestDone, nullptr,
        MHD_OPTION_END);
    if (!m_daemon) {
        *error = QStringLiteral("cannot start the HTTP server");
        return false;
    }
    m_listenSocket = -1; // the daemon owns and closes it now
    return true;
}

void HttpServer::stop()
{
    if (m_daemon) {
        MHD_stop_daemon(m_daemon);
        m_daemon = nullptr;
    }
    if (m_listenSocket >= 0) {
        ::close(m_listenSocket);
        m_listenSocket = -1;
    }
}
