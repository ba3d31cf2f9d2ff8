#include "DotStuffing.h"

#include <cstring>

namespace {

const QByteArray CrLf = QByteArrayLiteral("\r\n");
const QByteArray LineStartingWithDot = QByteArrayLiteral("\r\n.");

// Calls visit(position) for every "." in text[from, to) that begins a line,
// in ascending order. Lines begin at the first byte when startsLine, at the
// second when the text before the range ended in CR and the first byte is
// LF, and after every CRLF inside the range. The search jumps from LF to LF.
template<typename Visit>
void forEachDotLine(const char *text, qsizetype from, qsizetype to, bool startsLine, bool crBefore, Visit visit)
{
    if (from >= to)
        return;
    if (startsLine && text[from] == '.')
        visit(from);
    if (crBefore && from + 1 < to && text[from] == '\n' && text[from + 1] == '.')
        visit(from + 1);
    // An LF at `from` has its CR before the range, one at the last byte
    // begins nothing inside it.
    const char *at = text + from + 1;
    const char *const last = text + to - 1;
    while (at < last) {
        const auto *lf = static_cast<const char *>(std::memchr(at, '\n', size_t(last - at)));
        if (!lf)
            break;
        if (lf[-1] == '\r' && lf[1] == '.')
            visit(lf + 1 - text);
        at = lf + 1;
    }
}

// The text with one more "." before every line of text[from, to) that begins
// with ".", and room bytes reserved behind it for what the caller appends.
// A text with no such line comes back as it is, without a copy.
QByteArray stuffed(QByteArray text, qsizetype from, qsizetype to, qsizetype room, bool startsLine = true,
                   bool crBefore = false)
{
    qsizetype dots = 0;
    forEachDotLine(text.constData(), from, to, startsLine, crBefore, [&dots](qsizetype) { ++dots; });
    if (dots == 0) {
        if (room > 0)
            text.reserve(text.size() + room);
        return text;
    }
    QByteArray out;
    out.reserve(text.size() + dots + room);
    out.resize(text.size() + dots);
    const char *in = text.constData();
    char *write = out.data();
    qsizetype copied = 0;
    forEachDotLine(in, from, to, startsLine, crBefore, [&](qsizetype dot) {
        std::memcpy(write, in + copied, size_t(dot - copied));
        write += dot - copied;
        *write++ = '.';
        copied = dot;
    });
    std::memcpy(write, in + copied, size_t(text.size() - copied));
    return out;
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
    if (!dataLinesOf(reply, &dataStart, &dataEnd))
        return reply;
    return stuffed(std::move(reply), dataStart, dataEnd, 0);
}

QByteArray WireReply(QByteArray reply)
{
    qsizetype dataStart = 0;
    qsizetype dataEnd = 0;
    if (dataLinesOf(reply, &dataStart, &dataEnd))
        reply = stuffed(std::move(reply), dataStart, dataEnd, CrLf.size());
    reply.append(CrLf);
    return reply;
}

QByteArray StuffDataLines(QByteArray text)
{
    const qsizetype size = text.size();
    return stuffed(std::move(text), 0, size, 0);
}

QByteArray StuffPiece(QByteArray piece, bool startsLine, bool crBefore)
{
    const qsizetype size = piece.size();
    return stuffed(std::move(piece), 0, size, 0, startsLine, crBefore);
}

QByteArray MessageWithTerminator(QByteArray text)
{
    static const QByteArray terminator = QByteArrayLiteral(".\r\n");
    const bool endsWithLine = text.endsWith(CrLf);
    const qsizetype size = text.size();
    text = stuffed(std::move(text), 0, size, (endsWithLine ? 0 : CrLf.size()) + terminator.size());
    if (!endsWithLine)
        text.append(CrLf);
    text.append(terminator);
    return text;
}

} // namespace DotStuffing
