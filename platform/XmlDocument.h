#pragma once

#include <QByteArray>
#include <memory>

// Stand-in for the XML document component: parse, serialise, transform.
// Parsing never touches the network, loads no DTD, substitutes no external
// entity and caps entity expansion. Copies share the parsed document.
//
// Entity declarations are refused outright: the documents this program reads
// (service answers, stylesheets) never need them, and refusing them at the
// declaration stops both external-entity reads and expansion bombs before any
// expansion happens.
//
// Stylesheets run with every file and network access forbidden: document(),
// xsl:include and xsl:import of anything outside the stylesheet itself fail.
class XmlDocument
{
public:
    // Error numbers of transformNode, in the component's signed 32-bit form.
    // Nothing well-formed was loaded into the document being transformed.
    static constexpr int ErrorNoDocument = int(0x80004005);
    // The stylesheet is empty or not a valid XSLT 1.0 stylesheet.
    static constexpr int ErrorInvalidStylesheet = int(0x80070057);
    // The stylesheet was valid but running it failed (a refused document(),
    // xsl:message terminate="yes", runaway recursion ...).
    static constexpr int ErrorTransformFailed = int(0x8000FFFF);

    XmlDocument();

    // Parses text; returns false (and leaves the document empty) when it is
    // not well-formed.
    bool loadXML(const QByteArray &text);
    // The document serialised as text; empty when nothing well-formed was loaded.
    QByteArray xml() const;
    bool isEmpty() const;
    // Why the last loadXML failed (the parser's first complaint); empty after
    // a successful load.
    QByteArray parseError() const;

    // Applies the stylesheet (itself an XML document) and returns its text
    // output. On failure returns false through ok and an error number through
    // errorNumber (never throws).
    QByteArray transformNode(const XmlDocument &stylesheet, bool *ok = nullptr, int *errorNumber = nullptr) const;

private:
    struct Private;
    std::shared_ptr<Private> d;
    QByteArray m_parseError;
};
