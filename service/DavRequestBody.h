#pragma once

#include "DavProperty.h"

#include <QByteArray>
#include <QList>

// Reads the XML bodies of PROPFIND and PROPPATCH. Parsing never reaches the
// network, and a body with a document type declaration is refused outright,
// so no entity can be defined, let alone expanded.
class DavRequestBody
{
public:
    static constexpr qsizetype MaxXmlBodyBytes = 1024 * 1024; // our own bodies take a few hundred bytes

    enum class Outcome { Ok, TooLarge, Malformed };

    // An empty body asks for all properties.
    static Outcome parsePropfind(const QByteArray &body, PropfindRequest *request);
    static Outcome parsePropertyUpdate(const QByteArray &body, QList<PropertyUpdate> *updates);
};
