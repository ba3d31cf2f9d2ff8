#include "SmtpBuffer.h"

#include <cstring>
#include <utility>

namespace {

const QByteArray LineEnd = QByteArrayLiteral("\r\n");

} // namespace

bool SmtpBuffer::append(const QByteArray &bytes)
{
    makeRoomFor(bytes.size());
    const qsizetype unread = m_data.size() - m_heldBackBytes;
    m_data.append(bytes);
    if (m_phase == Phase::Command) {
        if (m_skippingLine)
            dropRefusedLine();
    } else if (!m_messageComplete) {
        readMessageBytes(unread);
    }
    return heldInputBytes() <= MaxHeldInputBytes;
}

// A message being gathered is bounded on its own; what follows its end
// marker waits like any command text.
qsizetype SmtpBuffer::heldInputBytes() const
{
    if (m_phase == Phase::Command)
        return m_data.size();
    return m_messageComplete ? m_data.size() : 0;
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
    forgetMessage();
    m_skippingLine = false;
}

void SmtpBuffer::forgetMessage()
{
    m_lineState = LineState::LineStart;
    m_messageComplete = false;
    m_messageTooLarge = false;
    m_messageBytes = 0;
    m_heldBackBytes = 0;
    m_message.clear();
}

void SmtpBuffer::beginMessage(const QByteArray &start, const QByteArray &head)
{
    m_data.prepend(start).prepend(head);
    m_phase = Phase::Message;
    forgetMessage();
    m_skippingLine = false;
    readMessageBytes(head.size());
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
    if (!m_messageComplete)
        return Take::Incomplete;
    const bool tooLarge = m_messageTooLarge;
    QByteArray message = std::exchange(m_message, QByteArray());
    if (!tooLarge)
        *text = std::move(message);
    m_phase = Phase::Command;
    forgetMessage();
    return tooLarge ? Take::TooLarge : Take::Complete;
}

// Reads the message bytes from offset from on (everything before it is
// message text already read), up to the end marker. Text is moved down over
// each dropped stuffing dot, so the bytes are written in place and only
// behind the first stuffed line of a piece do they move at all; runs
// without a CR are passed over whole. A dot at a line start, and a CR after
// it, wait in m_lineState until the next byte tells what they are.
void SmtpBuffer::readMessageBytes(qsizetype from)
{
    char *data = m_data.data();
    const qsizetype end = m_data.size();
    qsizetype read = from;
    qsizetype written = from;
    const auto put = [&](char c) { data[written++] = c; };
    while (read < end) {
        switch (m_lineState) {
        case LineState::Text: {
            const void *cr = std::memchr(data + read, '\r', size_t(end - read));
            const qsizetype runEnd = cr ? static_cast<const char *>(cr) - data : end;
            if (written != read)
                std::memmove(data + written, data + read, size_t(runEnd - read));
            written += runEnd - read;
            read = runEnd;
            if (cr) {
                put(data[read++]);
                m_lineState = LineState::AfterCr;
            }
            break;
        }
        case LineState::AfterCr:
            if (data[read] == '\n') {
                put(data[read++]);
                m_lineState = LineState::LineStart;
            } else {
                m_lineState = LineState::Text;
            }
            break;
        case LineState::LineStart:
            if (data[read] == '.') {
                ++read;
                m_lineState = LineState::Dot;
            } else {
                m_lineState = LineState::Text;
            }
            break;
        case LineState::Dot:
            if (data[read] == '\r') {
                ++read;
                m_lineState = LineState::DotCr;
                break;
            }
            // Of two dots at a line start the first is the stuffing one.
            put('.');
            if (data[read] == '.')
                ++read;
            m_lineState = LineState::Text;
            break;
        case LineState::DotCr:
            if (data[read] == '\n') {
                m_messageBytes += read + 1 - from;
                endMessage(written, read + 1);
                return;
            }
            put('.');
            put('\r');
            m_lineState = LineState::AfterCr;
            break;
        }
    }
    // A dot, or a dot and a CR, at a line start stay unread until the bytes
    // after them arrive.
    const qsizetype heldBack = m_lineState == LineState::Dot ? 1 : m_lineState == LineState::DotCr ? 2 : 0;
    if (heldBack > 0) {
        std::memmove(data + written, data + read - heldBack, size_t(heldBack));
        m_lineState = LineState::LineStart;
    }
    m_heldBackBytes = heldBack;
    m_messageBytes += read - from - heldBack;
    m_data.truncate(written + heldBack);
    // Past the limit the text is counted and dropped; only the line state is
    // kept, to find the marker.
    if (m_messageBytes > MaxMessageBytes) {
        m_messageTooLarge = true;
        m_data = m_data.mid(written); // a block of its own: the large one goes
    }
}

// The marker ends at read: the message text is what was written before it,
// and what follows the marker is the client's next command text.
void SmtpBuffer::endMessage(qsizetype written, qsizetype read)
{
    QByteArray rest = m_data.mid(read);
    m_data.truncate(written);
    m_message = std::exchange(m_data, std::move(rest));
    m_messageComplete = true;
    m_heldBackBytes = 0;
    if (m_messageBytes > MaxMessageBytes) {
        m_messageTooLarge = true;
        m_message.clear();
    }
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
