#include "UnstuffData.h"

#include <cstring>

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

QByteArray UnstuffData(QByteArray text)
{
    const qsizetype length = messageLength(text);
    char *data = text.data(); // its own copy only when the caller kept one
    // Moves the runs between stuffed line starts down over the dropped dots,
    // one run at a time, so a large message costs one pass. Writing stays
    // behind reading: a run never overwrites bytes still to be searched.
    qsizetype from = (length >= 2 && data[0] == '.' && data[1] == '.') ? 1 : 0;
    qsizetype to = 0;
    const auto keep = [&](qsizetype end) {
        if (to != from)
            std::memmove(data + to, data + from, size_t(end - from));
        to += end - from;
    };
    for (;;) {
        const qsizetype at = text.indexOf(StuffedLineStart, from);
        if (at < 0 || at + StuffedLineStart.size() > length) {
            keep(length);
            text.truncate(to);
            return text;
        }
        keep(at + 3);  // CR LF and the dot the client wrote
        from = at + 4; // past the stuffing dot
    }
}

QByteArray StuffData(QByteArrayView message)
{
    QByteArray text;
    text.reserve(message.size() + EmptyMessageMarker.size());
    qsizetype from = 0;
    if (message.startsWith('.'))
        text.append('.');
    for (qsizetype at = message.indexOf("\r\n.", from); at >= 0; at = message.indexOf("\r\n.", from)) {
        text.append(message.sliced(from, at + 2 - from)).append('.');
        from = at + 2;
    }
    return text.append(message.sliced(from)).append(EmptyMessageMarker);
}
