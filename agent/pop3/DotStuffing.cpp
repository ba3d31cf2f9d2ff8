#include "DotStuffing.h"

namespace {

// Appends text to out with one more "." before every line that begins with
// "."; lines start after each CRLF, and at the first byte when atLineStart.
void appendStuffed(QByteArray &out, const char *text, qsizetype length, bool atLineStart)
{
    qsizetype copied = 0;
    for (qsizetype i = 0; i < length; ++i) {
        const bool lineStart = (i == 0) ? atLineStart : (i >= 2 && text[i - 2] == '\r' && text[i - 1] == '\n');
        if (lineStart && text[i] == '.') {
            out.append(text + copied, i - copied);
            out.append('.');
            copied = i;
        }
    }
    out.append(text + copied, length - copied);
}

qsizetype countDotLines(const char *text, qsizetype length, bool atLineStart)
{
    qsizetype count = 0;
    for (qsizetype i = 0; i < length; ++i) {
        const bool lineStart = (i == 0) ? atLineStart : (i >= 2 && text[i - 2] == '\r' && text[i - 1] == '\n');
        if (lineStart && text[i] == '.')
            ++count;
    }
    return count;
}

} // namespace

namespace DotStuffing {

QByteArray StuffMultiLineReply(const QByteArray &reply)
{
    static const QByteArray terminator("\r\n.");
    const qsizetype statusEnd = reply.indexOf("\r\n");
    if (statusEnd < 0 || !reply.endsWith(terminator))
        return reply;
    const qsizetype dataStart = statusEnd + 2;
    // The data runs up to and including the CRLF before the final ".";
    // it is empty when the status line is followed directly by ".".
    const qsizetype dataEnd = reply.size() - 1;
    if (dataEnd <= dataStart)
        return reply;

    const char *data = reply.constData() + dataStart;
    const qsizetype dataLength = dataEnd - dataStart;
    QByteArray out;
    out.reserve(reply.size() + countDotLines(data, dataLength, true));
    out.append(reply.constData(), dataStart);
    appendStuffed(out, data, dataLength, true);
    out.append('.');
    return out;
}

QByteArray StuffDataLines(const QByteArray &text)
{
    QByteArray out;
    out.reserve(text.size() + countDotLines(text.constData(), text.size(), true));
    appendStuffed(out, text.constData(), text.size(), true);
    return out;
}

QByteArray MessageWithTerminator(const QByteArray &text)
{
    const bool endsWithLine = text.endsWith("\r\n");
    const qsizetype extra = countDotLines(text.constData(), text.size(), true) + (endsWithLine ? 0 : 2) + 3;
    QByteArray out;
    out.reserve(text.size() + extra);
    appendStuffed(out, text.constData(), text.size(), true);
    if (!endsWithLine)
        out.append("\r\n");
    out.append(".\r\n");
    return out;
}

} // namespace DotStuffing
