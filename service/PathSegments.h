#pragma once

#include <QByteArray>
#include <QList>

// A request path split into decoded segments. Every segment is checked so
// that no path built from it can leave the data folder: a bad percent escape,
// an empty segment inside the path, ".", "..", a NUL byte or a "/" hidden in
// an escape make the whole path invalid.
class PathSegments
{
public:
    static PathSegments parse(const QByteArray &rawPath);

    bool isValid() const { return m_valid; }
    const QList<QByteArray> &segments() const { return m_segments; }
    qsizetype size() const { return m_segments.size(); }
    const QByteArray &at(qsizetype i) const { return m_segments.at(i); }

    // Percent-encodes a segment for use in an address: every byte but
    // A-Z a-z 0-9 - . _ ~ , = and the bytes of keepAlso becomes %XX.
    static QByteArray encode(const QByteArray &segment, const QByteArray &keepAlso = {});
    // Decodes %XX escapes; false when an escape is malformed.
    static bool decode(const QByteArray &segment, QByteArray *decoded);

private:
    QList<QByteArray> m_segments;
    bool m_valid = false;
};
