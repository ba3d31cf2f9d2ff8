#include "DotStuffing.h"

#include <cstring>

namespace {

const QByteArray CrLf = QByteArrayLiteral("\r\n");
const QByteArray LineStartingWithDot = QByteArrayLiteral("\r\n.");

// Where lines begin in text[from, to): at its first byte when startsLine,
// at its second when the text before it ended in CR and the first byte is
// LF, and after every CRLF inside the range.
bool beginsLine(const char *text, qsizetype from, qsizetype i, bool startsLine, bool crBefore)
{
    if (i == from)
        return startsLine;
    if (i == from + 1)
        return crBefore && text[from] == '\n';
    return text[i - 2] == '\r' && text[i - 1] == '\n';
}

qsizetype countDotLines(const char *text, qsizetype from, qsizetype to, bool startsLine, bool crBefore)
{
    qsizetype count = 0;
    for (qsizetype i = from; i < to; ++i) {
        if (text[i] == '.' && beginsLine(text, from, i, startsLine, crBefore))
            ++count;
    }
    return count;
}

// Puts one more "." before every line of text[from, to) that begins with
// ".", where the text lies: the text grows once by the number of those
// lines, and each run between them moves up once, from the last run to the
// first, so nothing is copied twice and no second buffer is needed. room
// bytes more are reserved behind the text for what the caller appends.
void stuffInPlace(QByteArray &text, qsizetype from, qsizetype to, qsizetype room, bool startsLine = true,
                  bool crBefore = false)
{
    const qsizetype dots = countDotLines(text.constData(), from, to, startsLine, crBefore);
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
    const auto insertDotAt = [&](qsizetype dot) {
        std::memmove(data + dot + shift, data + dot, size_t(runEnd - dot));
        --shift;
        data[dot + shift] = '.';
        runEnd = dot;
    };
    // Bytes below the run being moved are still as they came, so the search
    // goes on in the original text. The last CRLF "." whose dot lies before
    // `to` begins at to - 3 at most.
    for (qsizetype searchBefore = to - 3; shift > 0 && searchBefore >= from;) {
        const qsizetype at = text.lastIndexOf(LineStartingWithDot, searchBefore);
        if (at < from)
            break;
        insertDotAt(at + 2);
        searchBefore = at - 1;
    }
    // What is left begins a line by what came before the range.
    if (shift > 0 && from + 1 < to && data[from + 1] == '.' && beginsLine(data, from, from + 1, startsLine, crBefore))
        insertDotAt(from + 1);
    if (shift > 0)
        insertDotAt(from);
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

QByteArray StuffPiece(QByteArray piece, bool startsLine, bool crBefore)
{
    stuffInPlace(piece, 0, piece.size(), 0, startsLine, crBefore);
    return piece;
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
