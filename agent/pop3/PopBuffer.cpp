#include "PopBuffer.h"

namespace {
constexpr char CrLf[] = "\r\n";
}

// Of a line longer than MaxCommandLineBytes only its first MaxCommandLineBytes
// bytes are kept (enough for takeNext to refuse it) and its CRLF: a client
// that sends a huge line and then waits gets its "-ERR", however large the
// pieces the line arrives in.
bool PopBuffer::append(const QByteArray &bytes)
{
    compact();
    const qsizetype before = m_data.size();
    qsizetype lineLength = unfinishedLineLength();
    qsizetype at = 0;
    if (m_data.endsWith('\r') && bytes.startsWith('\n')) {
        m_data.append('\n'); // the CRLF of the held line, split between two pieces
        lineLength = 0;
        at = 1;
    }
    while (at < bytes.size()) {
        const qsizetype end = bytes.indexOf(CrLf, at);
        const qsizetype run = (end < 0 ? bytes.size() : end) - at;
        const qsizetype kept = qMin(run, qMax<qsizetype>(0, MaxCommandLineBytes - lineLength));
        m_data.append(bytes.constData() + at, kept);
        lineLength += kept;
        if (end < 0) {
            // A dropped final CR may be the first half of the line's CRLF.
            if (kept < run && bytes.endsWith('\r'))
                m_data.append('\r');
            break;
        }
        m_data.append(CrLf);
        lineLength = 0;
        at = end + 2;
    }
    if (heldBytes() > MaxHeldInputBytes) {
        m_data.truncate(before);
        return false;
    }
    return true;
}

qsizetype PopBuffer::unfinishedLineLength() const
{
    const qsizetype lastEnd = m_data.lastIndexOf(CrLf);
    return m_data.size() - qMax(m_start, lastEnd < 0 ? 0 : lastEnd + 2);
}

PopBuffer::Next PopBuffer::takeNext(QByteArray *line)
{
    for (;;) {
        // Step back one byte so a CR at the end of the previous segment
        // still pairs with an LF at the start of this one.
        const qsizetype from = m_start + qMax<qsizetype>(0, m_scanned - 1);
        const qsizetype end = m_data.indexOf(CrLf, from);
        if (end < 0) {
            m_scanned = heldBytes();
            if (m_discarding) {
                // Keep a final CR: it may be the first half of the CRLF.
                const bool keepCr = m_data.endsWith('\r');
                m_start = m_data.size() - (keepCr ? 1 : 0);
                m_scanned = keepCr ? 1 : 0;
                return Next::Nothing;
            }
            if (heldBytes() >= MaxCommandLineBytes) {
                m_discarding = true;
                m_start = m_data.size();
                m_scanned = 0;
                return Next::TooLong;
            }
            return Next::Nothing;
        }
        const qsizetype length = end - m_start;
        const bool wasDiscarding = m_discarding;
        if (line && !wasDiscarding && length < MaxCommandLineBytes)
            *line = m_data.mid(m_start, length);
        m_start = end + 2;
        m_scanned = 0;
        m_discarding = false;
        if (wasDiscarding)
            continue; // that CRLF ended the overlong line already answered
        return length < MaxCommandLineBytes ? Next::Line : Next::TooLong;
    }
}

void PopBuffer::clear()
{
    m_data.clear();
    m_start = 0;
    m_scanned = 0;
    m_discarding = false;
}

void PopBuffer::compact()
{
    if (m_start == 0)
        return;
    m_data.remove(0, m_start);
    m_start = 0;
}
