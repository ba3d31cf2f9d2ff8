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
    // Every named property is answered for every resource of a listing, so
    // their number and length bound the answer; ours name none or one.
    static constexpr qsizetype MaxNamedProperties = 200;
    static constexpr qsizetype MaxNamedPropertyBytes = 16 * 1024; // the local names together

    enum class Outcome { Ok, TooLarge, TooManyProperties, Malformed };

    // An empty body asks for all properties. A name given twice is kept once.
    static Outcome parsePropfind(const QByteArray &body, PropfindRequest *request);
    static Outcome parsePropertyUpdate(const QByteArray &body, QList<PropertyUpdate> *updates);
};
