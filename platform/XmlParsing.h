#pragma once

#include <QByteArray>

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <memory>

// The one way this program parses XML text, whether into a document or as a
// stream of events: no network, no DTD loading, no entity substitution,
// entity declarations refused outright, libxml2's default limits.
namespace XmlParsing {

using DocumentHandle = std::unique_ptr<xmlDoc, decltype(&xmlFreeDoc)>;

// SAX callbacks that replace the building of a tree; user is what
// userOf() gives back inside them.
struct Events
{
    startElementNsSAX2Func startElement = nullptr;
    endElementNsSAX2Func endElement = nullptr;
    charactersSAXFunc characters = nullptr;
    void *user = nullptr;
};

// Parses text. Without events the document is returned; with them the
// events are delivered and the returned document holds no elements. Null
// when the text is not well-formed; error then says why.
DocumentHandle parse(const QByteArray &text, QByteArray *error, const Events *events = nullptr);
// The user pointer of the parse the callback belongs to.
void *userOf(void *parserContext);

} // namespace XmlParsing
