#pragma once

#include <QByteArray>

// A message text that goes to the client in pieces, as they arrive, as the
// data lines of one reply: each piece is stuffed as it comes (a line that
// begins with "." gets one more), with a line end that straddles two pieces
// taken into account, and finish() ends the reply. The pieces put together
// are exactly DotStuffing::MessageWithTerminator of the whole text.
class StuffedStream
{
public:
    // The piece stuffed, as the next part of the reply.
    QByteArray stuff(QByteArray piece);
    // The last piece stuffed, then CRLF when the text does not end with
    // one, then "." CRLF.
    QByteArray finish(QByteArray lastPiece);
    // Whether any byte of the text has gone out.
    bool hasStarted() const { return m_started; }

private:
    bool m_started = false;
    // The last two bytes of the text so far, as the client wrote them.
    char m_beforeLast = 0;
    char m_last = 0;
};
