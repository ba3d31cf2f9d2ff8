#include "UnstuffData.h"

namespace {

const QByteArray EndMarker = QByteArrayLiteral("\r\n.\r\n");
const QByteArray EmptyMessageMarker = QByteArrayLiteral(".\r\n");
const QByteArray StuffedLineStart = QByteArrayLiteral("\r\n..");

// The length of the text before the end marker, keeping the marker's CR LF.
qsizetype messageLength(const QByteArray &text)
{
    if (text.startsWith(EmptyMessageMarker))
        return 0;
    const qsizetype marker = text.indexOf(EndMarker);
    return marker < 0 ? text.size() : marker + 2;
}

} // namespace

QByteArray UnstuffData(const QByteArray &text)
{
    const qsizetype length = messageLength(text);
    const char *in = text.constData();

    QByteArray out;
    out.reserve(length);
    // Copies the runs between stuffed line starts in one piece each, so a
    // large message costs one pass.
    qsizetype from = (length >= 2 && in[0] == '.' && in[1] == '.') ? 1 : 0;
    for (;;) {
        const qsizetype at = text.indexOf(StuffedLineStart, from);
        if (at < 0 || at + StuffedLineStart.size() > length) {
            out.append(in + from, length - from);
            return out;
        }
        out.append(in + from, at + 3 - from); // CR LF and the dot the client wrote
        from = at + 4;                        // past the stuffing dot
    }
}
