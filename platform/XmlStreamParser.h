#pragma once

#include <QByteArray>

// Reads an XML text from start to end and tells the handler of each element
// and each piece of character data as it comes, without building a document:
// for answers so large that their parsed form would take many times their
// size. Parsing follows the rules of XmlDocument::loadXML (no network, no
// DTD loading, entity declarations refused) and accepts exactly the texts
// that loadXML accepts.
class XmlStreamParser
{
public:
    class Handler
    {
    public:
        // Names come with their namespace name ("" for none), not their
        // prefix; both are UTF-8 and valid only during the call.
        virtual void startElement(const char *namespaceName, const char *localName) = 0;
        virtual void endElement() = 0;
        // Character data, CDATA sections included, in one or more pieces.
        virtual void characters(const char *bytes, int length) = 0;

    protected:
        ~Handler() = default;
    };

    // False when the text is not well-formed (the handler may have been told
    // of part of it by then); error then says why.
    static bool parse(const QByteArray &text, Handler &handler, QByteArray *error = nullptr);
};
