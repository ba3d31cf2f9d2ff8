#pragma once

#include "CertificateCapture.h"
#include "CurlHandlePool.h"

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QPointer>
#include <QString>

#include <curl/curl.h>

class NetworkAccess;

using HttpHeaders = QList<QPair<QByteArray, QByteArray>>;

// Everything needed to send one request.
struct HttpRequestSpec
{
    QByteArray verb;
    QString url;
    HttpHeaders headers;
    QByteArray body;
    bool hasCredentials = false; // user and password were given for this request
    QString user;
    QString password;
    qint64 maxResponseBytes = 0;
    int inactivityTimeoutMilliseconds = 0; // 0: wait as long as the peer takes
    int totalTimeoutMilliseconds = 0;      // 0: no limit on the whole request
};

// What came back: an HTTP status with its headers and body, or a network code
// with nothing else; over a secure channel, either way, the server's
// certificate.
struct HttpAnswer
{
    int status = 0;
    QByteArray statusText;
    HttpHeaders headers;
    QByteArray body;
    ServerCertificate certificate;
};

// One request on one libcurl easy handle, from setting the handle up to the
// complete answer; the asynchronous exchange and the blocking send both use
// it. Status line, headers and body are taken as libcurl hands them over; the
// body may be taken away piece by piece while it arrives.
//
// A header name or value that could break the request (CR, LF, NUL, or a
// name that is no token) is refused before anything is sent, whatever its
// source. The answer body is capped; a larger one fails the request. A
// request that may change something on the service (any verb but GET, HEAD,
// PROPFIND, OPTIONS) goes out once: libcurl does not send it again on its own
// when a kept connection died without an answer.
class HttpTransfer
{
public:
    // Header bytes of one answer: far more than any service sends, and a
    // peer that sends more must not grow our memory.
    static constexpr qint64 MaxHeaderBytes = 256 * 1024;
    // A Content-Length header alone must not commit more memory than this;
    // a longer answer grows its buffer as the bytes really arrive.
    static constexpr qint64 MaxReserveBytes = 64 * 1024 * 1024;
    // libcurl's receive buffer: large pieces of a large answer per system
    // call, while a small answer still arrives in one.
    static constexpr long ReceiveBufferBytes = 128 * 1024;
    // libcurl's send buffer for a body larger than one: a submission of many
    // megabytes goes out in large pieces, a small one costs no more memory.
    static constexpr long SendBufferBytes = 64 * 1024;
    static constexpr long LargeSendBufferBytes = 1024 * 1024;

    explicit HttpTransfer(HttpRequestSpec spec);
    ~HttpTransfer();
    HttpTransfer(const HttpTransfer &) = delete;
    HttpTransfer &operator=(const HttpTransfer &) = delete;

    // Takes a handle for the request's origin and account and sets it up.
    // Returns 0 when the request can go out, else the network code that
    // refuses it (nothing was sent).
    int prepare(NetworkAccess &access);
    CURL *handle() const { return m_handle; }

    // True when the transfer ended with a 401 to authentication state kept
    // from the account's earlier requests, which libcurl did not answer
    // again; restartFresh() then sets the request up once more on a handle
    // without that state (0, or the network code that refuses it).
    bool refusedKeptState(CURLcode result) const;
    int restartFresh();

    // libcurl is done with the transfer: the answer is whole, or failed.
    // The handle goes back to the pool and the request's body is let go.
    void finish(CURLcode result);
    // Ends the request with a network code and no answer.
    void fail(int networkCode);
    // Stops using the handle without an answer (the request was abandoned).
    void abandon();

    // Whether the final answer has begun (its headers are complete, or its
    // body has begun); reported once by takeBegun().
    bool takeBegun();
    // Whether more body arrived since the last call.
    bool takeBodyGrew();
    // Whether takeBegun() or takeBodyGrew() would report something.
    bool hasNews() const { return (m_begun && !m_begunReported) || m_bodyGrew; }
    // Whether the final answer's status line and headers are known.
    bool hasStatus() const { return m_hasStatus; }

    const HttpAnswer &answer() const { return m_answer; }
    HttpAnswer takeAnswer() { return std::move(m_answer); }
    // Hands over the body received so far; the answer keeps only what comes
    // later. The cap still counts every byte of the body. Resumes a transfer
    // that its receive window had paused.
    QByteArray takeBodySoFar();
    // At most this many body bytes are held for the caller to take (one
    // piece of libcurl's more when nothing is held); while the window is
    // full the transfer stops reading from the service, so a caller that
    // cannot pass the body on as fast as it comes does not hold it all.
    // 0, the default, holds everything.
    void setReceiveWindow(qint64 bytes) { m_receiveWindow = bytes; }

private:
    static int beforeSending(void *transfer, char *, char *, int, int);
    static size_t receiveHeader(char *bytes, size_t size, size_t count, void *transfer);
    static size_t receiveBody(char *bytes, size_t size, size_t count, void *transfer);
    bool maySend();
    bool headerLine(QByteArray line);
    bool headersComplete();
    bool bodyPiece(const char *bytes, size_t length);
    bool windowFull(size_t length);

    int setUpHandle();
    void setMethodAndBody();
    int setHeaders();
    void setCredentials();
    void setLimits();
    int failureCode(CURLcode result) const;
    void release(bool keepState);
    void giveBackHandle(bool keepState);

    HttpRequestSpec m_spec;
    QPointer<NetworkAccess> m_access;
    CurlHandlePool::Account m_account;
    QByteArray m_url;
    bool m_proxyBypassed = false;
    CURL *m_handle = nullptr;
    bool m_handleKeptState = false; // the handle came with the account's earlier state
    curl_slist *m_headerList = nullptr;
    CertificateCapture m_certificate;
    HttpAnswer m_answer;
    int m_refusal = 0; // a failure our callbacks caused
    qint64 m_headerBytes = 0;
    qint64 m_bodyHandedOver = 0; // bytes taken by takeBodySoFar()
    int m_requestsSent = 0;      // by libcurl, for this request: retries and challenges answered
    int m_answersSeen = 0;       // final status lines (not 1xx) seen
    bool m_interim = false;      // the answer being read is a 1xx one
    bool m_hasStatus = false;
    bool m_begun = false;
    bool m_begunReported = false;
    bool m_bodyGrew = false;
    qint64 m_receiveWindow = 0;
    bool m_receivePaused = false; // libcurl holds a piece until the window opens
};
