#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QPair>

// One HTTP request as the service sees it once its body has arrived.
struct HttpRequest
{
    QByteArray method;
    // The request target as it came on the request line: path and query,
    // still percent-encoded. Digest answers are checked against it.
    QByteArray rawTarget;
    // Header names in lower case; a repeated header keeps its last value.
    QHash<QByteArray, QByteArray> headers;
    QByteArray body;

    QByteArray header(const QByteArray &lowerCaseName) const { return headers.value(lowerCaseName); }
    QByteArray path() const;
    QByteArray query() const;
};

// One answer: status, headers in order (a name may repeat) and body.
struct HttpResponse
{
    int status = 200;
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;

    void addHeader(const QByteArray &name, const QByteArray &value) { headers.append({name, value}); }
    QByteArray header(const QByteArray &name) const;

    // A failure: a one-line text body saying why, the same text in
    // X-Zorvane-Reason.
    static HttpResponse failure(int status, const QByteArray &reason);
    static HttpResponse text(int status, const QByteArray &text);
    static HttpResponse xml(int status, const QByteArray &document);
};
