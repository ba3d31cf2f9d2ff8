#include "DotStuffing.h"

#include <cstring>

namespace {

const QByteArray CrLf = QByteArrayLiteral("\r\n");
const QByteArray LineStartingWithDot = QByteArrayLiteral("\r\n.");

// Lines of text[from, to) that begin with ".": lines start after each CRLF
// inside the range, and at its first byte.
qsizetype countDotLines(const char *text, qsizetype from, qsizetype to)
{
    qsizetype count = 0;
    for (qsizetype i = from; i < to; ++i) {
        const bool lineStart = i == from || (i >= from + 2 && text[i - 2] == '\r' && text[i - 1] == '\n');
        if (lineStart && text[i] == '.')
            ++count;
    }
    return count;
}

// Puts one more "." before every line of text[from, to) that begins with
// ".", where the text lies: the text grows once by the number of those
// lines, and each run between them moves up once, from the last run to the
// first, so nothing is copied twice and no second buffer is needed. room
// bytes more are reserved behind the text for what the caller appends.
void stuffInPlace(QByteArray &text, qsizetype from, qsizetype to, qsizetype room)
{
    const qsizetype dots = countDotLines(text.constData(), from, to);
    if (dots == 0 && room == 0)
        return; // nothing changes: a shared text stays shared
    const qsizetype oldSize = text.size();
    text.reserve(oldSize + dots + room);
    if (dots == 0)
        return;
    text.resize(oldSize + dots);
    char *data = text.data();
    qsizetype shift = dots;
    qsizetype runEnd = oldSize;
    // The last CRLF "." whose dot lies before `to` begins at to - 3 at most.
    qsizetype searchBefore = to - 3;
    while (shift > 0) {
        // Bytes below the run being moved are still as they came, so the
        // search goes on in the original text.
        const qsizetype at = searchBefore >= from ? text.lastIndexOf(LineStartingWithDot, searchBefore) : -1;
        const qsizetype dot = at >= from ? at + 2 : from; // the last one can only be the first byte
        std::memmove(data + dot + shift, data + dot, size_t(runEnd - dot));
        --shift;
        data[dot + shift] = '.';
        runEnd = dot;
        searchBefore = at - 1;
    }
}

// Where the data lines of a multi-line reply lie: after the status line's
// CRLF and before the final "."; false for a one-line reply.
bool dataLinesOf(const QByteArray &reply, qsizetype *dataStart, qsizetype *dataEnd)
{
    const qsizetype statusEnd = reply.indexOf(CrLf);
    if (statusEnd < 0 || !reply.endsWith(LineStartingWithDot))
        return false;
    *dataStart = statusEnd + 2;
    // The data runs up to and including the CRLF before the final ".";
    // it is empty when the status line is followed directly by ".".
    *dataEnd = reply.size() - 1;
    return *dataEnd > *dataStart;
}

} // namespace

namespace DotStuffing {

QByteArray StuffMultiLineReply(QByteArray reply)
{
    qsizetype dataStart = 0;
    qsizetype dataEnd = 0;
    if (dataLinesOf(reply, &dataStart, &dataEnd))
        stuffInPlace(reply, dataStart, dataEnd, 0);
    return reply;
}

QByteArray WireReply(QByteArray reply)
{
    qsizetype dataStart = 0;
    qsizetype dataEnd = 0;
    if (dataLinesOf(reply, &dataStart, &dataEnd))
        stuffInPlace(reply, dataStart, dataEnd, CrLf.size());
    reply.append(CrLf);
    return reply;
}

QByteArray StuffDataLines(QByteArray text)
{
    stuffInPlace(text, 0, text.size(), 0);
    return text;
}

QByteArray MessageWithTerminator(QByteArray text)
{
    static const QByteArray terminator = QByteArrayLiteral(".\r\n");
    const bool endsWithLine = text.endsWith(CrLf);
    stuffInPlace(text, 0, text.size(), (endsWithLine ? 0 : CrLf.size()) + terminator.size());
    if (!endsWithLine)
        text.append(CrLf);
    text.append(terminator);
    return text;
}

} // namespace DotStuffing
