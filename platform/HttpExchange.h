#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <functional>

class NetworkAccess;
class QNetworkReply;

// The network-level codes a request reports as its status when it failed
// below HTTP (the numbers users and logs know them by).
namespace NetworkCode {
constexpr int Timeout = 12002;
constexpr int InternalError = 12004;
constexpr int InvalidUrl = 12005;
constexpr int UnrecognizedScheme = 12006;
constexpr int NameNotResolved = 12007;
constexpr int ShuttingDown = 12012;
constexpr int ProxyFailure = 12020;
constexpr int NoDirectAccess = 12023;
constexpr int RequestPending = 12026;
constexpr int CannotConnect = 12029;
constexpr int ConnectionAborted = 12030;
} // namespace NetworkCode

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
};

// What came back: an HTTP status with its headers and body, or a network code
// with nothing else.
struct HttpAnswer
{
    int status = 0;
    QByteArray statusText;
    HttpHeaders headers;
    QByteArray body;
};

// One request on the calling thread's network access, from sending to the
// complete answer. It reports "the answer has begun" (headers or first body
// bytes) and "complete" (answer whole, or failed) through callbacks; after
// cancel() it reports nothing more.
class HttpExchange : public QObject
{
public:
    using Notify = std::function<void()>;

    HttpExchange(HttpRequestSpec spec, Notify answerBegun, Notify completed, QObject *parent = nullptr);
    ~HttpExchange() override;

    // Sends the request. A request that cannot even be sent (bad address,
    // unknown scheme ...) completes before start() returns.
    void start();
    // Stops the transfer without reporting anything.
    void cancel();
    // Stops the transfer and completes with the code given.
    void failWith(int networkCode);

    bool isComplete() const { return m_complete; }
    const HttpAnswer &answer() const { return m_answer; }
    HttpAnswer takeAnswer() { return std::move(m_answer); }

    // Called each time more of the body has arrived; the callee may take it
    // with takeBodySoFar() or cancel the exchange.
    void setBodyGrew(Notify bodyGrew) { m_bodyGrew = std::move(bodyGrew); }
    // Hands over the body received so far; the answer keeps only what comes
    // later. The size cap still counts every byte of the body.
    QByteArray takeBodySoFar();
    // Whether the status line has arrived: answer().status is the server's.
    bool hasStatus() const { return m_hasStatus; }

private:
    void headersArrived();
    void bodyArrived();
    void finished();
    void captureStatusAndHeaders();
    bool bodyCutShort() const;
    void announceBegun();
    void complete();
    void release();
    static int networkCodeFor(int replyError);

    HttpRequestSpec m_spec;
    Notify m_answerBegun;
    Notify m_completed;
    Notify m_bodyGrew;
    QPointer<QNetworkReply> m_reply;
    HttpAnswer m_answer;
    qint64 m_bodyHandedOver = 0; // bytes of the body taken by takeBodySoFar()
    bool m_hasStatus = false;
    bool m_begun = false;
    bool m_complete = false;
};
