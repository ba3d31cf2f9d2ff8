#include "XmlText.h"

QByteArray XmlText::escape(const QByteArray &utf8)
{
    QByteArray out;
    out.reserve(utf8.size() + 16);
    for (const char c : utf8) {
        switch (c) {
        case '&':
            out.append("&amp;");
            break;
        case '<':
            out.append("&lt;");
            break;
        case '>':
            out.append("&gt;");
            break;
        case '"':
            out.append("&quot;");
            break;
        default:
            out.append(c);
        }
    }
    return out;
}

QByteArray XmlText::fromBytes(const QByteArray &bytes)
{
    QByteArray out;
    out.reserve(bytes.size() + 16);
    for (const char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x80) {
            out.append(char(0xC0 | (u >> 6)));
            out.append(char(0x80 | (u & 0x3F)));
        } else if (c == '\r') {
            out.append("&#13;");
        } else if (u < 0x20 && c != '\t') {
            out.append(' ');
        } else if (c == '&') {
            out.append("&amp;");
        } else if (c == '<') {
            out.append("&lt;");
        } else if (c == '>') {
            out.append("&gt;");
        } else {
            out.append(c);
        }
    }
    return out;
}
