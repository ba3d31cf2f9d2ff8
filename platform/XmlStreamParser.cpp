#include "XmlStreamParser.h"

#include "XmlParsing.h"

namespace {

XmlStreamParser::Handler &handlerOf(void *parserContext)
{
    return *static_cast<XmlStreamParser::Handler *>(XmlParsing::userOf(parserContext));
}

const char *textOf(const xmlChar *text)
{
    return text ? reinterpret_cast<const char *>(text) : "";
}

void startElement(void *parserContext, const xmlChar *localName, const xmlChar *, const xmlChar *namespaceName, int,
                  const xmlChar **, int, int, const xmlChar **)
{
    handlerOf(parserContext).startElement(textOf(namespaceName), textOf(localName));
}

void endElement(void *parserContext, const xmlChar *, const xmlChar *, const xmlChar *)
{
    handlerOf(parserContext).endElement();
}

void characters(void *parserContext, const xmlChar *bytes, int length)
{
    handlerOf(parserContext).characters(reinterpret_cast<const char *>(bytes), length);
}

} // namespace

bool XmlStreamParser::parse(const QByteArray &text, Handler &handler, QByteArray *error)
{
    XmlParsing::Events events;
    events.startElement = startElement;
    events.endElement = endElement;
    events.characters = characters;
    events.user = &handler;
    QByteArray why;
    const bool wellFormed = XmlParsing::parse(text, &why, &events) != nullptr;
    if (error)
        *error = wellFormed ? QByteArray() : why;
    return wellFormed;
}
