#pragma once

#include "XmlDocument.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <memory>

// Stand-in for the HTTP request component. One request at a time per object;
// opening again abandons whatever was in flight. All objects share one network
// access manager per process, and credentials given at a login answer the same
// service's later challenges for the rest of the process.
//
// Failures below HTTP are reported as the network codes 12001..12036 through
// status() (12029 refused, 12007 name not resolved, 12002 timeout, 12031 reset,
// 12030 closed, 12005 bad address, 12006 unsupported scheme ...).
// Any status the server sends, 900 and other non-standard ones included, comes
// through with its headers and body.
class XmlHttpRequest : public QObject
{
    Q_OBJECT
public:
    // Error number of reading the status, text or XML of a request that has
    // not completed (the component's "data not yet available" failure).
    static constexpr int ErrorNotComplete = int(0x8000000A);

    explicit XmlHttpRequest(QObject *parent = nullptr);
    ~XmlHttpRequest() override;

    void open(const QByteArray &verb, const QString &url, bool async,
              const QString &user = QString(), const QString &password = QString());
    void setRequestHeader(const QByteArray &name, const QByteArray &value);
    // Asynchronous: returns at once. Synchronous: returns when the answer is
    // complete (or failed); no socket or window event of the caller's thread
    // runs meanwhile.
    void send(const QByteArray &body = QByteArray());
    // 0 unsent, 1 opened and no answer begun, 3 answer arriving, 4 complete.
    int readyState() const;
    void abort();

    // Valid once readyState() is 4; otherwise ok is set false and errorNumber
    // (if given) to ErrorNotComplete.
    int status(bool *ok = nullptr, int *errorNumber = nullptr) const;
    QByteArray statusText() const;
    QByteArray getAllResponseHeaders() const;
    QByteArray getResponseHeader(const QByteArray &name) const;
    const QByteArray &responseText() const;
    XmlDocument responseXML() const;

    // A cap on the answer body; a larger answer fails the request (status 12004).
    void setMaxResponseBytes(qint64 bytes);

signals:
    // Emitted when readyState changes; 4 means complete or failed.
    void readyStateChanged(int state);

private:
    struct Private;
    std::unique_ptr<Private> d;
};
