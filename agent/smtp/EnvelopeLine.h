#pragma once

#include <QByteArray>
#include <QString>

// One MAIL or RCPT command text as the line the envelope keeps.
//
// The line is the client's spelling up to the first ":", then ":", then the
// text up to a second ":" with the blanks after the first ":" removed (and
// those before a second ":"), then the command's own line end: CR LF, or a
// bare LF when the client ended the line so; a text without a line end gets
// CR LF. A command without ":" is read as if it ended in one.
//
// A command that holds CR or LF anywhere but in its line end, or a NUL, is
// refused: the service reads the envelope line by line up to the first empty
// line, so such a byte would end it early or carry text into the message.
class EnvelopeLine
{
public:
    explicit EnvelopeLine(const QByteArray &commandText);

    bool IsValid() const { return m_valid; }
    // The envelope line with its line end; empty when not valid.
    const QByteArray &Line() const { return m_line; }
    // The address a MAIL command names, without angle brackets and blanks,
    // in the client's spelling: "MAIL FROM: <Ann@Example.com>" names
    // "Ann@Example.com". Empty for "<>" and for a command without ":".
    QString AddressName() const;

private:
    QByteArray m_argument; // after the first ":", up to a second one
    QByteArray m_line;
    bool m_valid = false;
};
