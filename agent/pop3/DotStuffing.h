#pragma once

#include <QByteArray>

// The byte-stuffing of POP3 multi-line replies: inside a multi-line reply
// every data line that begins with "." goes out with one more "." in front,
// so the only line that is a lone "." is the terminator. Lines end with CRLF;
// a bare CR or LF does not end a line. Every function runs in linear time,
// jumping from line end to line end, and gives a text with no line to stuff
// back as it is, without a copy.
namespace DotStuffing {

// A complete multi-line reply as the session composes it: status line, CRLF,
// data lines, and the terminating "." without its line end. Every data line
// is stuffed; the status line and the terminator are left alone. A text that
// does not end in CRLF "." (a one-line reply) comes back unchanged.
QByteArray StuffMultiLineReply(QByteArray reply);

// The reply as it goes to the client: StuffMultiLineReply and the final CRLF.
QByteArray WireReply(QByteArray reply);

// A message text that goes out as the data lines of a reply: every line,
// the first included, is stuffed.
QByteArray StuffDataLines(QByteArray text);

// One piece of a message text that goes out in pieces, stuffed as
// StuffDataLines stuffs it within the whole text: startsLine when a line
// begins at its first byte, crBefore when the text before it ended in CR.
QByteArray StuffPiece(QByteArray piece, bool startsLine, bool crBefore);

// The message text followed by what ends the reply: CRLF when the text does
// not already end with one, then "." CRLF. Stuffed as StuffDataLines.
QByteArray MessageWithTerminator(QByteArray text);

} // namespace DotStuffing
