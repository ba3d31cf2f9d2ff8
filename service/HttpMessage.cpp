#include "HttpMessage.h"

QByteArray HttpRequest::path() const
{
    const qsizetype mark = rawTarget.indexOf('?');
    return mark < 0 ? rawTarget : rawTarget.left(mark);
}

QByteArray HttpRequest::query() const
{
    const qsizetype mark = rawTarget.indexOf('?');
    return mark < 0 ? QByteArray() : rawTarget.mid(mark + 1);
}

QByteArray HttpResponse::header(const QByteArray &name) const
{
    for (const auto &pair : headers) {
        if (pair.first.compare(name, Qt::CaseInsensitive) == 0)
            return pair.second;
    }
    return {};
}

HttpResponse HttpResponse::failure(int status, const QByteArray &reason)
{
    // The reason may quote what a client sent; it must stay one header line.
    QByteArray line = reason;
    for (char &c : line) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    }
    HttpResponse response = text(status, line + "\r\n");
    response.addHeader("X-Zorvane-Reason", line);
    return response;
}

HttpResponse HttpResponse::text(int status, const QByteArray &text)
{
    HttpResponse response;
    response.status = status;
    response.addHeader("Content-Type", "text/plain; charset=utf-8");
    response.body = text;
    return response;
}

HttpResponse HttpResponse::xml(int status, const QByteArray &document)
{
    HttpResponse response;
    response.status = status;
    response.addHeader("Content-Type", "application/xml; charset=utf-8");
    response.body = document;
    return response;
}
