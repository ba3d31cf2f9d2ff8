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

bool HttpRequest::announcesBody() const
{
    if (headers.contains("transfer-encoding"))
        return true;
    bool ok = false;
    const qint64 length = header("content-length").trimmed().toLongLong(&ok);
    return !ok ? headers.contains("content-length") : length > 0;
}

QByteArray HttpResponse::header(const QByteArray &name) const
{
    for (const auto &pair : headers) {
        if (pair.first.compare(name, Qt::CaseInsensitive) == 0)
            return pair.second;
    }
    return {};
}

QByteArray HttpResponse::takeBody()
{
    if (!stream)
        return body;
    QByteArray whole;
    bool failed = false;
    while (stream->next(&whole, &failed)) { }
    stream.reset();
    body = whole;
    return body;
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

HttpResponse HttpResponse::xml(int status, std::shared_ptr<ResponseBody> document)
{
    HttpResponse response = xml(status, QByteArray());
    response.stream = std::move(document);
    return response;
}
