#pragma once

#include "ResponseBody.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QPair>

#include <memory>
#include <optional>

// The user name and password of a Basic Authorization header, decoded.
struct BasicCredentials
{
    QByteArray user;
    QByteArray password;
};

// One HTTP request as the service sees it: first its head, then, when the
// request is taken, its body.
struct HttpRequest
{
    QByteArray method;
    // The request target as it came on the request line: path and query,
    // still percent-encoded. Digest answers are checked against it.
    QByteArray rawTarget;
    // Header names in lower case; a repeated header keeps its last value.
    QHash<QByteArray, QByteArray> headers;
    // Basic credentials as the HTTP server decoded them from Authorization.
    std::optional<BasicCredentials> basic;
    // The account whose credentials the request carried, once they are
    // checked; empty for requests that need none.
    QByteArray account;
    QByteArray body;

    QByteArray header(const QByteArray &lowerCaseName) const { return headers.value(lowerCaseName); }
    QByteArray path() const;
    QByteArray query() const;
    // True when the head announces a body (a length above 0, or chunks).
    bool announcesBody() const;
};

// One answer: status, headers in order (a name may repeat) and body, either
// whole or made while it is sent.
struct HttpResponse
{
    int status = 200;
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;
    std::shared_ptr<ResponseBody> stream; // when set, the body comes from here

    void addHeader(const QByteArray &name, const QByteArray &value) { headers.append({name, value}); }
    QByteArray header(const QByteArray &name) const;
    // The whole body, drawn from the stream if there is one; for answers
    // known to be small and for tests.
    QByteArray takeBody();

    // A failure: a one-line text body saying why, the same text in
    // X-Zorvane-Reason.
    static HttpResponse failure(int status, const QByteArray &reason);
    static HttpResponse text(int status, const QByteArray &text);
    static HttpResponse xml(int status, const QByteArray &document);
    static HttpResponse xml(int status, std::shared_ptr<ResponseBody> document);
};
