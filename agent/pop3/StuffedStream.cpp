#include "StuffedStream.h"

#include "DotStuffing.h"

QByteArray StuffedStream::stuff(QByteArray piece)
{
    if (piece.isEmpty())
        return piece;
    const bool startsLine = !m_started || (m_beforeLast == '\r' && m_last == '\n');
    const bool crBefore = m_started && m_last == '\r';
    m_beforeLast = piece.size() >= 2 ? piece.at(piece.size() - 2) : m_last;
    m_last = piece.back();
    m_started = true;
    return DotStuffing::StuffPiece(std::move(piece), startsLine, crBefore);
}

QByteArray StuffedStream::finish(QByteArray lastPiece)
{
    QByteArray out = stuff(std::move(lastPiece));
    if (!m_started || m_beforeLast != '\r' || m_last != '\n')
        out.append("\r\n");
    out.append(".\r\n");
    return out;
}
