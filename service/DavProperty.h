#pragma once

#include <QByteArray>
#include <QList>

// The two namespaces of our answers.
inline constexpr const char *DavNamespace = "DAV:";
inline constexpr const char *MailNamespace = "urn:zorvane:mail";

struct DavPropertyName
{
    QByteArray ns;
    QByteArray name;
    bool operator==(const DavPropertyName &other) const { return ns == other.ns && name == other.name; }
};

// A property with its value already written as XML content.
struct DavProperty
{
    DavPropertyName name;
    QByteArray valueXml;
};

// What a PROPFIND asks for.
struct PropfindRequest
{
    enum class Mode { AllProp, Prop, PropName };
    Mode mode = Mode::AllProp;
    QList<DavPropertyName> names;
};

// One instruction of a PROPPATCH, in document order.
struct PropertyUpdate
{
    bool set = true; // false: remove
    DavPropertyName name;
    QByteArray value; // text content, for set
};
