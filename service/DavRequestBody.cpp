#include "DavRequestBody.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <memory>

namespace {

struct DocumentFree
{
    void operator()(xmlDoc *doc) const { xmlFreeDoc(doc); }
};
using Document = std::unique_ptr<xmlDoc, DocumentFree>;

Document parse(const QByteArray &body)
{
    if (body.contains("<!DOCTYPE") || body.contains("<!ENTITY"))
        return nullptr;
    const int options = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_NOCDATA;
    Document doc(xmlReadMemory(body.constData(), int(body.size()), "request.xml", nullptr, options));
    if (doc && doc->intSubset)
        return nullptr;
    return doc;
}

bool isDav(const xmlNode *node, const char *name)
{
    return node && node->type == XML_ELEMENT_NODE && node->ns && node->ns->href
        && xmlStrEqual(node->ns->href, BAD_CAST DavNamespace) && xmlStrEqual(node->name, BAD_CAST name);
}

DavPropertyName nameOf(const xmlNode *node)
{
    return {node->ns && node->ns->href ? QByteArray(reinterpret_cast<const char *>(node->ns->href)) : QByteArray(),
            QByteArray(reinterpret_cast<const char *>(node->name))};
}

QByteArray textOf(const xmlNode *node)
{
    xmlChar *content = xmlNodeGetContent(node);
    QByteArray text(content ? reinterpret_cast<const char *>(content) : "");
    xmlFree(content);
    return text;
}

template<typename F> void forEachElement(const xmlNode *parent, F f)
{
    for (const xmlNode *child = parent->children; child; child = child->next) {
        if (child->type == XML_ELEMENT_NODE)
            f(child);
    }
}

// Within the limits on named properties: their number and the bytes of
// their local names.
bool withinNameLimits(qsizetype count, qsizetype nameBytes)
{
    return count <= DavRequestBody::MaxNamedProperties && nameBytes <= DavRequestBody::MaxNamedPropertyBytes;
}

} // namespace

DavRequestBody::Outcome DavRequestBody::parsePropfind(const QByteArray &body, PropfindRequest *request)
{
    *request = {};
    if (body.size() > MaxXmlBodyBytes)
        return Outcome::TooLarge;
    if (body.trimmed().isEmpty())
        return Outcome::Ok;
    const Document doc = parse(body);
    const xmlNode *root = doc ? xmlDocGetRootElement(doc.get()) : nullptr;
    if (!isDav(root, "propfind"))
        return Outcome::Malformed;
    bool understood = false;
    qsizetype nameBytes = 0;
    forEachElement(root, [&](const xmlNode *child) {
        if (isDav(child, "allprop")) {
            request->mode = PropfindRequest::Mode::AllProp;
            understood = true;
        } else if (isDav(child, "propname")) {
            request->mode = PropfindRequest::Mode::PropName;
            understood = true;
        } else if (isDav(child, "prop")) {
            request->mode = PropfindRequest::Mode::Prop;
            forEachElement(child, [&](const xmlNode *property) {
                const DavPropertyName name = nameOf(property);
                // Past the limit the answer is a refusal: no need to look
                // through a long list for repeats.
                if (request->names.size() > MaxNamedProperties || request->names.contains(name))
                    return;
                request->names.append(name);
                nameBytes += name.name.size();
            });
            understood = true;
        }
    });
    if (!understood)
        return Outcome::Malformed;
    return withinNameLimits(request->names.size(), nameBytes) ? Outcome::Ok : Outcome::TooManyProperties;
}

DavRequestBody::Outcome DavRequestBody::parsePropertyUpdate(const QByteArray &body, QList<PropertyUpdate> *updates)
{
    updates->clear();
    if (body.size() > MaxXmlBodyBytes)
        return Outcome::TooLarge;
    const Document doc = parse(body);
    const xmlNode *root = doc ? xmlDocGetRootElement(doc.get()) : nullptr;
    if (!isDav(root, "propertyupdate"))
        return Outcome::Malformed;
    bool malformed = false;
    qsizetype nameBytes = 0;
    forEachElement(root, [&](const xmlNode *instruction) {
        const bool set = isDav(instruction, "set");
        if (!set && !isDav(instruction, "remove")) {
            malformed = true;
            return;
        }
        forEachElement(instruction, [&](const xmlNode *prop) {
            if (!isDav(prop, "prop")) {
                malformed = true;
                return;
            }
            forEachElement(prop, [&](const xmlNode *property) {
                if (updates->size() > MaxNamedProperties)
                    return;
                updates->append({set, nameOf(property), set ? textOf(property).trimmed() : QByteArray()});
                nameBytes += updates->constLast().name.name.size();
            });
        });
    });
    if (malformed || updates->isEmpty())
        return Outcome::Malformed;
    return withinNameLimits(updates->size(), nameBytes) ? Outcome::Ok : Outcome::TooManyProperties;
}
