#pragma once

#include "CertificateCapture.h"
#include "XmlDocument.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <memory>

struct HttpAnswer;

// Stand-in for the HTTP request component. One request at a time per object;
// opening again abandons whatever was in flight. All requests of a thread
// share its connections, kept alive and reused per service origin (see
// NetworkAccess.h for the rules on credentials and proxies).
//
// Failures below HTTP are reported as network codes through status():
// 12029 refused, 12007 name not resolved, 12002 time-out, 12030 connection
// closed or reset before the answer was whole, 12005 bad address, 12006
// unsupported scheme, 12004 answer too large, 12027 a verb, header or user
// name that would break the request. A secure channel that cannot be trusted
// reports 12045 (unknown authority), 12037 (certificate out of date), 12038
// (certificate for another name), or 12157 when it cannot be built at all;
// serverCertificate() then tells what the server presented.
// Any status the server sends, 900 and other non-standard ones included, comes
// through with its headers and body; redirections are never followed. A
// request that may change something (a POST, a MOVE ...) is never repeated
// by the component: its failure is the caller's to judge.
//
// Asynchronous requests run on the calling thread's event loop. A synchronous
// send blocks the calling thread outright: the transfer runs on the calling
// thread with no event loop.
//
// A request whose answer makes no progress for the time set by setTimeout()
// (five minutes unless changed) fails with 12002, so even a synchronous send
// to a peer that went silent returns; setTotalTimeout() bounds the whole
// request as well.
class XmlHttpRequest : public QObject
{
    Q_OBJECT
public:
    // Error number of reading the status, text or XML of a request that has
    // not completed (the component's "data not yet available" failure).
    static constexpr int ErrorNotComplete = int(0x8000000A);
    // The answer body the component accepts by default: larger than any mail
    // message the service holds, small enough not to exhaust memory.
    static constexpr qint64 DefaultMaxResponseBytes = 256LL * 1024 * 1024;
    // How long an answer may make no progress at all before the request
    // fails: well beyond the callers' own give-up times.
    static constexpr int DefaultTimeoutMilliseconds = 5 * 60 * 1000;

    explicit XmlHttpRequest(QObject *parent = nullptr);
    ~XmlHttpRequest() override;

    void open(const QByteArray &verb, const QString &url, bool async, const QString &user = QString(),
              const QString &password = QString());
    void setRequestHeader(const QByteArray &name, const QByteArray &value);
    // Asynchronous: returns at once. Synchronous: returns when the answer is
    // complete (or failed); no socket or window event of the caller's thread
    // runs meanwhile.
    void send(const QByteArray &body = QByteArray());
    // 0 unsent, 1 opened and no answer begun, 3 answer arriving, 4 complete.
    int readyState() const;
    // Stops a request in flight or drops one opened but not sent: readyState
    // goes back to 0 and nothing of an answer is kept, so status() fails with
    // ErrorNotComplete (a given-up request has no status). A complete request
    // is left as it is.
    void abort();

    // Valid once readyState() is 4; otherwise ok is set false and errorNumber
    // (if given) to ErrorNotComplete.
    int status(bool *ok = nullptr, int *errorNumber = nullptr) const;
    // The reason phrase as the server sent it; empty for a network failure.
    QByteArray statusText() const;
    // One "Name: value" CRLF line per header (known from readyState 3 on);
    // repeated headers arrive joined into one line.
    QByteArray getAllResponseHeaders() const;
    // The named header (case-insensitive), empty when absent.
    QByteArray getResponseHeader(const QByteArray &name) const;
    // The body bytes as they arrived, unchanged; while readyState is 3 the
    // part received so far.
    const QByteArray &responseText() const;
    // Hands over the body received so far and leaves responseText() empty,
    // so a large answer is held once, by the caller; what arrives later is
    // handed over by the next call. Empty before the answer has begun.
    QByteArray takeResponseText();
    // An asynchronous request in flight holds at most about this many body
    // bytes not yet taken with takeResponseText(), and meanwhile reads no
    // more from the server; taking them lets it go on. 0 (the default) for
    // no limit. Applies to the request in flight only.
    void setReceiveWindow(qint64 bytes);
    // The status of the answer once its status line has arrived (readyState
    // 3 or 4); ok is false before. status() keeps waiting for completion.
    int answerStatus(bool *ok) const;
    // The body parsed as XML once complete; an empty document otherwise or
    // when the body is not well-formed.
    XmlDocument responseXML() const;

    // A cap on the answer body; a larger answer fails the request (status 12004).
    // Applies to requests sent after the call.
    void setMaxResponseBytes(qint64 bytes);
    // The inactivity limit in milliseconds, 0 for none (then a synchronous
    // send waits as long as the peer keeps the connection open).
    void setTimeout(int milliseconds);
    // A limit on the whole request, sending included, in milliseconds; 0 (the
    // default) for none. Applies to requests sent after the call.
    void setTotalTimeout(int milliseconds);

    // The certificate the server presented: for an answer that came over a
    // secure channel, and when a secure channel could not be trusted or
    // built (status 12037, 12038, 12045 or 12157); null otherwise.
    ServerCertificate serverCertificate() const;

    enum class TrustOutcome { Trusted, Unreadable, NoCertificate };
    // Secure channels of requests sent from this thread from now on trust
    // the system's certificate authorities and those of the PEM file given
    // (none when empty). A file that cannot be read or holds no certificate
    // makes every secure channel fail rather than trust other than asked.
    static TrustOutcome trustCertificateAuthorities(const QString &pemFile);

signals:
    // Emitted when readyState changes; 4 means complete or failed.
    void readyStateChanged(int state);
    // More of the body has arrived while readyState is 3.
    void responseTextGrew();

private:
    void answerBegun();
    void exchangeCompleted();
    void setReadyState(int state);
    void abandonExchange();
    const HttpAnswer &currentAnswer() const;

    struct Private;
    std::unique_ptr<Private> d;
};
