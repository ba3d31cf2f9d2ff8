#include "PathSegments.h"

namespace {

constexpr qsizetype MaxPathSegments = 16; // our deepest address has four

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool isSafeSegment(const QByteArray &segment)
{
    return !segment.isEmpty() && segment != "." && segment != ".." && !segment.contains('/') && !segment.contains('\0');
}

} // namespace

PathSegments PathSegments::parse(const QByteArray &rawPath)
{
    PathSegments result;
    if (!rawPath.startsWith('/'))
        return result;
    QList<QByteArray> pieces = rawPath.mid(1).split('/');
    if (rawPath.endsWith('/'))
        pieces.removeLast();
    if (pieces.size() > MaxPathSegments)
        return result;
    for (const QByteArray &piece : pieces) {
        QByteArray decoded;
        if (!decode(piece, &decoded) || !isSafeSegment(decoded))
            return result;
        result.m_segments.append(decoded);
    }
    result.m_valid = true;
    return result;
}

QByteArray PathSegments::encode(const QByteArray &segment, const QByteArray &keepAlso)
{
    static const char hex[] = "0123456789ABCDEF";
    QByteArray out;
    out.reserve(segment.size() + 8);
    for (const char c : segment) {
        const auto u = static_cast<unsigned char>(c);
        const bool keep = (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || (u >= '0' && u <= '9') || c == '-'
            || c == '.' || c == '_' || c == '~' || c == ',' || c == '=' || (u != 0 && keepAlso.contains(c));
        if (keep) {
            out.append(c);
        } else {
            out.append('%');
            out.append(hex[u >> 4]);
            out.append(hex[u & 0x0F]);
        }
    }
    return out;
}

bool PathSegments::decode(const QByteArray &segment, QByteArray *decoded)
{
    QByteArray out;
    out.reserve(segment.size());
    for (qsizetype i = 0; i < segment.size(); ++i) {
        if (segment.at(i) != '%') {
            out.append(segment.at(i));
            continue;
        }
        if (i + 2 >= segment.size())
            return false;
        const int high = hexValue(segment.at(i + 1));
        const int low = hexValue(segment.at(i + 2));
        if (high < 0 || low < 0)
            return false;
        out.append(char(high * 16 + low));
        i += 2;
    }
    *decoded = out;
    return true;
}
