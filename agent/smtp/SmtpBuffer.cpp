#include "SmtpBuffer.h"

#include <utility>

namespace {

const QByteArray LineEnd = QByteArrayLiteral("\r\n");
const QByteArray EndMarker = QByteArrayLiteral("\r\n.\r\n");
// The end marker right after the 354 reply: the DATA line's CR LF stands for
// the marker's first one.
const QByteArray EmptyMessageMarker = QByteArrayLiteral(".\r\n");
// A marker that began in bytes already searched has at most this many of its
// bytes there.
constexpr qsizetype MarkerOverlapBytes = 4;

} // namespace

bool SmtpBuffer::append(const QByteArray &bytes)
{
    makeRoomFor(bytes.size());
    m_data.append(bytes);
    if (m_phase == Phase::Command) {
        if (m_skippingLine)
            dropRefusedLine();
    } else {
        scanForEndMarker();
        dropOversizedMessageBytes();
    }
    return heldInputBytes() <= MaxHeldInputBytes;
}

// A message being gathered is bounded on its own; what follows its end
// marker waits like any command text.
qsizetype SmtpBuffer::heldInputBytes() const
{
    if (m_phase == Phase::Command)
        return m_data.size();
    return m_markerEnd < 0 ? 0 : m_data.size() - m_markerEnd;
}

// Grows the buffer in doubling steps through reserve(), which lets the
// system enlarge the block where it lies; left to append(), every growth
// would copy everything received so far into a fresh block.
void SmtpBuffer::makeRoomFor(qsizetype incoming)
{
    const qsizetype needed = m_data.size() + incoming;
    // An empty buffer takes the first piece over without copying it.
    if (m_data.isEmpty() || needed <= m_data.capacity())
        return;
    m_data.reserve(qMax(needed, 2 * m_data.size()));
}

void SmtpBuffer::clear()
{
    m_data.clear();
    m_phase = Phase::Command;
    m_searched = 0;
    m_markerEnd = -1;
    m_droppedBytes = 0;
    m_skippingLine = false;
}

void SmtpBuffer::beginMessage(const QByteArray &start)
{
    m_data.prepend(start);
    m_phase = Phase::Message;
    m_searched = 0;
    m_markerEnd = -1;
    m_droppedBytes = 0;
    m_skippingLine = false;
    scanForEndMarker();
    dropOversizedMessageBytes();
}

SmtpBuffer::Take SmtpBuffer::take(QByteArray *text)
{
    return m_phase == Phase::Command ? takeCommand(text) : takeMessage(text);
}

SmtpBuffer::Take SmtpBuffer::takeCommand(QByteArray *text)
{
    if (m_skippingLine)
        return Take::Incomplete;
    if (m_data.size() >= MaxCommandTextBytes) {
        // Whatever is left of an unfinished line is dropped as it arrives.
        m_skippingLine = !m_data.endsWith(LineEnd);
        m_data.clear();
        if (m_skippingLine)
            dropRefusedLine();
        return Take::TooLong;
    }
    if (!m_data.endsWith(LineEnd))
        return Take::Incomplete;
    *text = std::exchange(m_data, QByteArray());
    return Take::Complete;
}

SmtpBuffer::Take SmtpBuffer::takeMessage(QByteArray *text)
{
    if (m_markerEnd < 0)
        return Take::Incomplete;

    const bool tooLarge = m_droppedBytes + m_markerEnd > MaxMessageBytes;
    if (m_markerEnd == m_data.size()) {
        QByteArray whole = std::exchange(m_data, QByteArray());
        if (!tooLarge)
            *text = std::move(whole);
    } else {
        if (!tooLarge)
            *text = m_data.left(m_markerEnd);
        m_data = m_data.mid(m_markerEnd); // the client's next command text
    }
    m_phase = Phase::Command;
    m_searched = 0;
    m_markerEnd = -1;
    m_droppedBytes = 0;
    return tooLarge ? Take::TooLarge : Take::Complete;
}

void SmtpBuffer::scanForEndMarker()
{
    if (m_markerEnd >= 0)
        return;
    if (m_droppedBytes == 0 && m_data.startsWith(EmptyMessageMarker)) {
        m_markerEnd = EmptyMessageMarker.size();
        return;
    }
    const qsizetype from = qMax<qsizetype>(0, m_searched - MarkerOverlapBytes);
    const qsizetype at = m_data.indexOf(EndMarker, from);
    if (at >= 0)
        m_markerEnd = at + EndMarker.size();
    else
        m_searched = m_data.size();
}

void SmtpBuffer::dropRefusedLine()
{
    const qsizetype at = m_data.indexOf(LineEnd);
    if (at >= 0) {
        m_data.remove(0, at + LineEnd.size());
        m_skippingLine = false;
        return;
    }
    // A CR at the end may be the first half of the line end.
    m_data = m_data.endsWith('\r') ? QByteArray("\r") : QByteArray();
}

void SmtpBuffer::dropOversizedMessageBytes()
{
    if (m_markerEnd >= 0 || messageBytes() <= MaxMessageBytes)
        return;
    const qsizetype keep = qMin(MarkerOverlapBytes, m_data.size());
    m_droppedBytes += m_data.size() - keep;
    m_data = m_data.right(keep);
    m_searched = keep;
}
