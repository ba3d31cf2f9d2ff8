#include "XmlParsing.h"

#include <limits>
#include <mutex>

namespace {

// The parser takes lengths as int; anything larger cannot be handed over.
constexpr qsizetype MaxDocumentBytes = std::numeric_limits<int>::max();

void discardMessage(void *, const char *, ...)
{
}

void initialiseParserOnce()
{
    static std::once_flag once;
    std::call_once(once, [] { xmlInitParser(); });
    // libxml2 keeps its generic error handler per thread.
    thread_local bool quietInThisThread = false;
    if (!quietInThisThread) {
        xmlSetGenericErrorFunc(nullptr, discardMessage);
        quietInThisThread = true;
    }
}

struct LoadState
{
    bool entityDeclared = false;
    QByteArray firstError;
    void *user = nullptr;
};

LoadState *loadStateOf(void *parserContext)
{
    return static_cast<LoadState *>(static_cast<xmlParserCtxtPtr>(parserContext)->_private);
}

void refuseEntityDeclaration(void *parserContext, const xmlChar *, int, const xmlChar *, const xmlChar *, xmlChar *)
{
    LoadState *state = loadStateOf(parserContext);
    state->entityDeclared = true;
    if (state->firstError.isEmpty())
        state->firstError = "entity declarations are not accepted";
    xmlStopParser(static_cast<xmlParserCtxtPtr>(parserContext));
}

void refuseUnparsedEntityDeclaration(void *parserContext, const xmlChar *name, const xmlChar *, const xmlChar *,
                                     const xmlChar *)
{
    refuseEntityDeclaration(parserContext, name, 0, nullptr, nullptr, nullptr);
}

void keepFirstError(void *parserContext, xmlErrorPtr error)
{
    LoadState *state = loadStateOf(parserContext);
    if (state->firstError.isEmpty() && error && error->message)
        state->firstError = QByteArray(error->message).trimmed();
}

void takeEvents(xmlSAXHandler *sax, const XmlParsing::Events &events)
{
    sax->startElementNs = events.startElement;
    sax->endElementNs = events.endElement;
    sax->characters = events.characters;
    sax->cdataBlock = events.characters;
    // Blanks between elements are character data like any other.
    sax->ignorableWhitespace = events.characters;
}

} // namespace

namespace XmlParsing {

DocumentHandle parse(const QByteArray &text, QByteArray *error, const Events *events)
{
    initialiseParserOnce();
    DocumentHandle none(nullptr, xmlFreeDoc);
    if (text.size() > MaxDocumentBytes) {
        *error = "document too large";
        return none;
    }
    xmlParserCtxtPtr parser = xmlNewParserCtxt();
    if (!parser) {
        *error = "out of memory";
        return none;
    }
    LoadState state;
    parser->_private = &state;
    parser->sax->entityDecl = refuseEntityDeclaration;
    parser->sax->unparsedEntityDecl = refuseUnparsedEntityDeclaration;
    parser->sax->serror = keepFirstError;
    if (events) {
        state.user = events->user;
        takeEvents(parser->sax, *events);
    }
    // No DTD loading, no entity substitution, no network, no relaxed limits.
    // Short texts are kept inside their nodes: a listing of thousands of
    // messages is mostly short texts.
    const int options = XML_PARSE_NONET | XML_PARSE_NOCDATA | XML_PARSE_COMPACT;
    DocumentHandle document(xmlCtxtReadMemory(parser, text.constData(), int(text.size()), nullptr, nullptr, options),
                            xmlFreeDoc);
    // An undeclared prefix only clears the namespace flag; it is still not
    // a document anyone can use.
    const bool wellFormed = parser->wellFormed && parser->nsWellFormed && !state.entityDeclared;
    xmlFreeParserCtxt(parser);
    if (!document || !wellFormed) {
        *error = state.firstError.isEmpty() ? QByteArray("not well-formed") : state.firstError;
        return none;
    }
    return document;
}

void *userOf(void *parserContext)
{
    return loadStateOf(parserContext)->user;
}

} // namespace XmlParsing
