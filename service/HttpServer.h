#pragma once

#include <QByteArray>
#include <QString>

struct MHD_Daemon;
class MailService;

// Serves a MailService over HTTP with libmicrohttpd. One internal thread
// polls every connection and calls the service, so the service is only ever
// entered by one request at a time.
class HttpServer
{
public:
    static constexpr qint64 MaxRequestBodyBytes = 65LL * 1024 * 1024; // a 64 MiB message and its envelope
    static constexpr unsigned MaxConnections = 64;        // far above what one agent opens
    static constexpr unsigned MaxConnectionsPerPeer = 32; // one address cannot take them all
    static constexpr unsigned IdleTimeoutSeconds = 60;    // a silent connection is closed after this
    static constexpr size_t MaxRequestHeaderBytes = 128 * 1024; // request line and headers of one request

    explicit HttpServer(MailService &service, bool logRequests = true);
    ~HttpServer();
    HttpServer(const HttpServer &) = delete;
    HttpServer &operator=(const HttpServer &) = delete;

    // Binds host:port (port 0: a free one) and listens; port() then tells
    // the port. Nothing is served before start().
    bool listen(const QByteArray &host, quint16 port, QString *error);
    bool start(QString *error);
    void stop();
    quint16 port() const { return m_port; }
    bool isIpv6() const { return m_ipv6; }

    struct Handler
    {
        MailService *service;
        bool logRequests;
    };

private:
    Handler m_handler;
    MHD_Daemon *m_daemon = nullptr;
    int m_listenSocket = -1;
    quint16 m_port = 0;
    bool m_ipv6 = false;
};
