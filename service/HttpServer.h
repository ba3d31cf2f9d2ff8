#pragma once

#include "BodyBudget.h"
#include "ConnectionGuard.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <memory>
#include <optional>
#include <thread>

struct MHD_Daemon;
struct MHD_Connection;
class MailService;
struct HttpRequest;
struct HttpResponse;

// What the server holds at most, and for how long.
struct HttpServerLimits
{
    // A submission at the agent's largest: a 64 MiB message and a 1 MiB envelope.
    static constexpr qint64 DefaultMaxRequestBodyBytes = 65LL * 1024 * 1024;
    qint64 maxRequestBodyBytes = DefaultMaxRequestBodyBytes;
    // Bodies held by all connections together: two submissions at the
    // largest size and a few small ones, well inside what a small home
    // server can give.
    qint64 maxBufferedBodyBytes = 192LL * 1024 * 1024;
    size_t maxRequestHeaderBytes = 128 * 1024; // request line and headers of one request
    unsigned idleTimeoutSeconds = 60;          // a silent connection is closed after this
    ConnectionGuard::Limits connections;
};

// Serves a MailService over HTTP, or HTTPS, with libmicrohttpd. One thread
// of its own runs every connection and calls the service, so the service is
// only ever entered by one request at a time. A request's credentials are
// checked as soon as its head is in, before any of its body is read.
class HttpServer
{
public:
    using Limits = HttpServerLimits;
    struct Tls
    {
        QByteArray certificatePem;
        QByteArray keyPem;
    };

    explicit HttpServer(MailService &service, bool logRequests = true, Limits limits = {});
    ~HttpServer();
    HttpServer(const HttpServer &) = delete;
    HttpServer &operator=(const HttpServer &) = delete;

    // Binds host:port (port 0: a free one) and listens; port() then tells
    // the port. Nothing is served before start().
    bool listen(const QByteArray &host, quint16 port, QString *error);
    // With tls, every connection speaks HTTPS.
    bool start(QString *error, std::optional<Tls> tls = std::nullopt);
    void stop();
    quint16 port() const { return m_port; }

    // The parts the HTTP library calls back; public only for those calls.
    struct Callbacks;

private:
    struct RequestState;

    void run();
    void waitForWork();
    void closeConnection(ConnectionGuard::Id id);
    bool takeHead(MHD_Connection *connection, RequestState *state);
    // 413 or 503 for a body announced too large for the request or for what
    // all connections hold; else the body's bytes are counted in.
    std::optional<HttpResponse> admitBody(RequestState *state);
    bool takeBodyPiece(RequestState *state, const char *data, size_t size);
    bool answer(MHD_Connection *connection, RequestState *state, HttpResponse response);
    void finishRequest(RequestState *state);
    void logLine(const HttpRequest &request, int status) const;

    MailService &m_service;
    bool m_logRequests;
    Limits m_limits;
    BodyBudget m_bodies;
    ConnectionGuard m_guard;
    std::optional<Tls> m_tls;
    MHD_Daemon *m_daemon = nullptr;
    int m_listenSocket = -1;
    int m_wakeFd = -1;
    quint16 m_port = 0;
    bool m_ipv6 = false;
    std::atomic<bool> m_stopping{false};
    std::thread m_thread;
};
