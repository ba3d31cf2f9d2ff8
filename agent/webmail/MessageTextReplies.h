#pragma once

#include <QByteArray>

// The multi-line replies built around a downloaded message text. They end
// with the "." line without its line end; stuffing of data lines is the POP3
// front end's work.
namespace MessageTextReplies {

// "+OK " octet count CRLF, the text exactly as received, CRLF unless the
// text already ends with one, ".".
QByteArray RetrieveReply(const QByteArray &text);

// The header section and the first Lines body lines of the text, or the whole
// text when Lines covers the body. A text without an empty line is all
// header section. With Lines below 1 the header section alone, closed by
// exactly one empty line, as a client reading it as a header section expects.
QByteArray TopReply(const QByteArray &text, int Lines);

// "+OK" CRLF and a header section built from header lines that did not come
// as one message text (the message's properties, an error line): every
// non-empty line kept in order, each with its CRLF, then the one empty line
// that closes the section, ".". An empty line inside would end the section
// early and move the lines after it into the body.
QByteArray HeaderSectionReply(const QByteArray &headerLines);

} // namespace MessageTextReplies
