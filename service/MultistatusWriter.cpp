#include "MultistatusWriter.h"

#include "XmlText.h"

#include <algorithm>
#include <utility>

namespace {

QByteArray reasonFor(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 409:
        return "Conflict";
    case 424:
        return "Failed Dependency";
    default:
        return "Unknown";
    }
}

bool isOwnNamespace(const QByteArray &ns)
{
    return ns == DavNamespace || ns == MailNamespace;
}

} // namespace

MultistatusWriter::MultistatusWriter(const QList<DavPropertyName> &echoedNames)
{
    QByteArray declarations;
    for (const DavPropertyName &name : echoedNames) {
        if (name.ns.isEmpty() || isOwnNamespace(name.ns) || m_prefixOfNamespace.contains(name.ns))
            continue;
        const QByteArray prefix = 'x' + QByteArray::number(m_prefixOfNamespace.size());
        m_prefixOfNamespace.insert(name.ns, prefix);
        declarations += " xmlns:" + prefix + "=\"" + XmlText::escape(name.ns) + '"';
    }
    m_out.append("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
                 "<D:multistatus xmlns:D=\"DAV:\" xmlns:m=\"urn:zorvane:mail\""
                 + declarations + ">\n");
}

QByteArray MultistatusWriter::statusLine(int status)
{
    return "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonFor(status);
}

QByteArray MultistatusWriter::tagFor(const DavPropertyName &name, QByteArray *declaration) const
{
    if (name.ns == DavNamespace)
        return "D:" + name.name;
    if (name.ns == MailNamespace)
        return "m:" + name.name;
    // A name in no namespace stays unprefixed: the answer sets no default
    // namespace.
    if (name.ns.isEmpty())
        return name.name;
    const QByteArray prefix = m_prefixOfNamespace.value(name.ns);
    if (!prefix.isEmpty())
        return prefix + ':' + name.name;
    *declaration = " xmlns:y=\"" + XmlText::escape(name.ns) + '"';
    return "y:" + name.name;
}

// Written piece by piece straight into the answer: a listing of thousands of
// messages has tens of thousands of elements.
void MultistatusWriter::appendElement(const DavPropertyName &name, const QByteArray *valueXml)
{
    QByteArray declaration;
    const QByteArray tag = tagFor(name, &declaration);
    m_out.append('<').append(tag).append(declaration);
    if (!valueXml || valueXml->isEmpty()) {
        m_out.append("/>");
        return;
    }
    m_out.append('>').append(*valueXml).append("</").append(tag).append('>');
}

void MultistatusWriter::appendPropStat(const QList<DavProperty> &properties, bool namesOnly, int status)
{
    static const QByteArray Found = statusLine(200);
    m_out.append("<D:propstat><D:prop>");
    for (const DavProperty &property : properties)
        appendElement(property.name, namesOnly ? nullptr : &property.valueXml);
    m_out.append("</D:prop><D:status>")
        .append(status == 200 ? Found : statusLine(status))
        .append("</D:status></D:propstat>");
}

void MultistatusWriter::addResource(const QByteArray &href, const QList<DavProperty> &properties,
                                    const PropfindRequest &request)
{
    m_out.append("<D:response><D:href>").append(XmlText::escape(href)).append("</D:href>");
    if (request.mode != PropfindRequest::Mode::Prop) {
        appendPropStat(properties, request.mode == PropfindRequest::Mode::PropName, 200);
    } else {
        QList<DavProperty> found;
        QList<DavProperty> missing;
        for (const DavPropertyName &wanted : request.names) {
            const auto it = std::find_if(properties.cbegin(), properties.cend(),
                                         [&](const DavProperty &p) { return p.name == wanted; });
            if (it != properties.cend())
                found.append(*it);
            else
                missing.append({wanted, {}});
        }
        if (!found.isEmpty() || missing.isEmpty())
            appendPropStat(found, false, 200);
        if (!missing.isEmpty())
            appendPropStat(missing, true, 404);
    }
    m_out.append("</D:response>\n");
}

void MultistatusWriter::addPropertyStatuses(const QByteArray &href, const QList<QPair<DavPropertyName, int>> &statuses)
{
    m_out.append("<D:response><D:href>" + XmlText::escape(href) + "</D:href>");
    for (const auto &entry : statuses)
        appendPropStat({{entry.first, {}}}, true, entry.second);
    m_out.append("</D:response>\n");
}

QByteArray MultistatusWriter::take()
{
    return std::exchange(m_out, QByteArray());
}

QByteArray MultistatusWriter::finish()
{
    m_out.append("</D:multistatus>\n");
    return take();
}
