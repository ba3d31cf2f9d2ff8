#pragma once

#include <QByteArray>

// Text spliced into XML: the service's answers, the session's stylesheets.
class XmlText
{
public:
    // Escapes & < > " of text that is already UTF-8.
    static QByteArray escape(const QByteArray &utf8);
    // Writes each byte as the character of the same number (U+0000..U+00FF),
    // so that a consumer that outputs ISO-8859-1 gets the bytes back exactly.
    // Control characters XML cannot carry become blanks; CR is kept as &#13;.
    static QByteArray fromBytes(const QByteArray &bytes);
};
