#include "PopBuffer.h"

namespace {
constexpr char CrLf[] = "\r\n";
}

bool PopBuffer::append(const QByteArray &bytes)
{
    if (heldBytes() + bytes.size() > MaxHeldInputBytes)
        return false;
    compact();
    m_data.append(bytes);
    return true;
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
