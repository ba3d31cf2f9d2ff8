#pragma once

#include <QByteArray>
#include <memory>

// Stand-in for the XML document component: parse, serialise, transform.
// Parsing never touches the network, loads no DTD, substitutes no external
// entity and caps entity expansion. Copies share the parsed document.
class XmlDocument
{
public:
    XmlDocument();

    // Parses text; returns false (and leaves the document empty) when it is
    // not well-formed.
    bool loadXML(const QByteArray &text);
    // The document serialised as text; empty when nothing well-formed was loaded.
    QByteArray xml() const;
    bool isEmpty() const;

    // Applies the stylesheet (itself an XML document) and returns its text
    // output. On failure returns false through ok and an error number through
    // errorNumber (never throws).
    QByteArray transformNode(const XmlDocument &stylesheet, bool *ok = nullptr, int *errorNumber = nullptr) const;

private:
    struct Private;
    std::shared_ptr<Private> d;
};
