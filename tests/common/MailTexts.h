#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>

// Messages of a chosen size and the client's view of POP3 data lines.
namespace MailTexts {

// A message in wire form (CRLF line ends) of exactly size bytes; its body
// begins with bodyStart and is filled with plain lines.
inline QByteArray messageOfSize(qsizetype size, const QByteArray &subject, const QByteArray &bodyStart = QByteArray())
{
    QByteArray text = "From: Ann <ann@example.org>\r\nTo: user@zorvane.test\r\nSubject: " + subject
        + "\r\nMessage-ID: <" + subject + "@example.org>\r\n\r\n" + bodyStart;
    const QByteArray pad = "abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ-.\r\n";
    while (text.size() + pad.size() <= size - 4)
        text += pad;
    while (text.size() < size - 2)
        text += 'z';
    text += "\r\n";
    return text.left(size);
}

// The data lines of a multi-line reply (status line removed) as the client
// keeps them: keep-alive header lines in front dropped, terminator and
// stuffing removed. Empty pair member second = false when no terminator.
inline QPair<QByteArray, bool> unstuffData(QByteArray data)
{
    static const QByteArray keepAlive = "X-zorvane: busy...\r\n";
    while (data.startsWith(keepAlive))
        data.remove(0, keepAlive.size());
    bool terminated = false;
    if (data == ".\r\n") {
        data.clear();
        terminated = true;
    } else if (data.endsWith("\r\n.\r\n")) {
        data.chop(3);
        terminated = true;
    }
    QByteArray out;
    out.reserve(data.size());
    qsizetype lineStart = 0;
    while (lineStart < data.size()) {
        qsizetype end = data.indexOf("\r\n", lineStart);
        end = end < 0 ? data.size() : end + 2;
        const bool stuffed = data.at(lineStart) == '.';
        out.append(data.constData() + lineStart + (stuffed ? 1 : 0), end - lineStart - (stuffed ? 1 : 0));
        lineStart = end;
    }
    return {out, terminated};
}

// A message as a client sends it in the DATA phase: a line break added
// where the text lacks one at its end, every line that begins with a dot
// stuffed, and the end marker.
inline QByteArray stuffedForData(QByteArray message)
{
    if (!message.isEmpty() && !message.endsWith("\r\n"))
        message += "\r\n";
    QByteArray wire;
    qsizetype lineStart = 0;
    while (lineStart < message.size()) {
        qsizetype end = message.indexOf("\r\n", lineStart);
        end = end < 0 ? message.size() : end + 2;
        if (message.at(lineStart) == '.')
            wire += '.';
        wire += message.mid(lineStart, end - lineStart);
        lineStart = end;
    }
    return wire + ".\r\n";
}

// The reply to STAT for an inbox holding the messages.
inline QByteArray statReply(const QList<QByteArray> &messages)
{
    qsizetype total = 0;
    for (const QByteArray &message : messages)
        total += message.size();
    return "+OK " + QByteArray::number(messages.size()) + ' ' + QByteArray::number(total) + "\r\n";
}

// A reply split into its status line and the rest.
inline QPair<QByteArray, QByteArray> splitStatus(const QByteArray &reply)
{
    const qsizetype end = reply.indexOf("\r\n");
    if (end < 0)
        return {reply, QByteArray()};
    return {reply.left(end + 2), reply.mid(end + 2)};
}

} // namespace MailTexts
