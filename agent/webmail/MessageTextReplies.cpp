#include "MessageTextReplies.h"

#include <QList>

namespace MessageTextReplies {

namespace {

const QByteArray CRLF("\r\n");
const QByteArray EndOfHeaderSection("\r\n\r\n");
constexpr qsizetype StatusLineBytes = 32; // "+OK ", an octet count and CRLF

// The text followed by the line end that closes its last line, so that the
// "." after it stands on its own line and nothing is added to the message.
QByteArray WholeTextLines(const QByteArray &text)
{
    if (text.isEmpty() || text.endsWith(CRLF))
        return text;
    return text + CRLF;
}

QList<QByteArray> SplitAtCrlf(const QByteArray &text)
{
    QList<QByteArray> pieces;
    qsizetype start = 0;
    for (qsizetype at = text.indexOf(CRLF); at >= 0; at = text.indexOf(CRLF, start)) {
        pieces.append(text.mid(start, at - start));
        start = at + CRLF.size();
    }
    pieces.append(text.mid(start));
    return pieces;
}

} // namespace

QByteArray RetrieveReply(const QByteArray &text)
{
    const QByteArray lines = WholeTextLines(text);
    QByteArray reply;
    reply.reserve(lines.size() + StatusLineBytes);
    reply += "+OK ";
    reply += QByteArray::number(text.size());
    reply += CRLF;
    reply += lines;
    reply += '.';
    return reply;
}

QByteArray TopReply(const QByteArray &text, int Lines)
{
    const qsizetype endOfHeaders = text.indexOf(EndOfHeaderSection);
    const qsizetype headerLength = endOfHeaders < 0 ? text.size() : endOfHeaders + EndOfHeaderSection.size();
    const QByteArray header = text.left(headerLength);
    const QByteArray body = text.mid(headerLength);

    if (Lines < 1) {
        // The section with the empty line that ends it; a text that has
        // none gets it here.
        const QByteArray closedHeader = endOfHeaders < 0 ? WholeTextLines(header) + CRLF : header;
        return "+OK" + CRLF + closedHeader + '.';
    }

    // The body with CRLF "." behind it, cut at every CRLF: for a body that
    // ends in CRLF there are two pieces more than it has lines.
    const QByteArray closedBody = body + CRLF + '.';
    const QList<QByteArray> pieces = SplitAtCrlf(closedBody);
    const qsizetype lineCount = pieces.size() - 2;

    QByteArray reply = "+OK" + CRLF;
    if (Lines >= lineCount) {
        reply += WholeTextLines(text);
        reply += '.';
        return reply;
    }
    reply += header;
    for (int i = 0; i < Lines; ++i) {
        reply += pieces.at(i);
        reply += CRLF;
    }
    reply += CRLF;
    reply += '.';
    return reply;
}

QByteArray HeaderSectionReply(const QByteArray &headerLines)
{
    QByteArray reply = "+OK" + CRLF;
    for (const QByteArray &line : SplitAtCrlf(headerLines)) {
        if (line.isEmpty())
            continue;
        reply += line;
        reply += CRLF;
    }
    reply += CRLF;
    reply += '.';
    return reply;
}

} // namespace MessageTextReplies
