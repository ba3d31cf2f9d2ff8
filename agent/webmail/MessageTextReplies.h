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
// header section.
QByteArray TopReply(const QByteArray &text, int Lines);

} // namespace MessageTextReplies
