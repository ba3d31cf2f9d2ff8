#include "MultistatusWriter.h"

#include "XmlText.h"

namespace {

constexpr qsizetype BytesPerResponse = 400; // a listed message takes about this much

QByteArray reasonFor(int status)
{
    switch (status) {
    case 200: return "OK";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 409: return "Conflict";
    case 424: return "Failed Dependency";
    default: return "Unknown";
    }
}

} // namespace

MultistatusWriter::MultistatusWriter(qsizetype expectedResponses)
{
    m_out.reserve(200 + expectedResponses * BytesPerResponse);
    m_out.append("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
                 "<D:multistatus xmlns:D=\"DAV:\" xmlns:m=\"urn:zorvane:mail\">\n");
}

QByteArray MultistatusWriter::statusLine(int status)
{
    return "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonFor(status);
}

// Written piece by piece straight into the answer: a listing of thousands of
// messages has tens of thousands of elements, and no piece needs a buffer
// of its own.
void MultistatusWriter::appendElement(const DavPropertyName &name, const QByteArray *valueXml)
{
    const char *prefix = name.ns == DavNamespace ? "D:" : name.ns == MailNamespace ? "m:" : "x:";
    const bool foreign = name.ns != DavNamespace && name.ns != MailNamespace;
    m_out.append('<').append(prefix).append(name.name);
    if (foreign)
        m_out.append(" xmlns:x=\"").append(XmlText::escape(name.ns)).append('"');
    if (!valueXml || valueXml->isEmpty()) {
        m_out.append("/>");
        return;
    }
    m_out.append('>').append(*valueXml).append("</").append(prefix).append(name.name).append('>');
}

void MultistatusWriter::appendPropStat(const QList<DavProperty> &properties, bool namesOnly, int status)
{
    static const QByteArray Found = statusLine(200);
    m_out.append("<D:propstat><D:prop>");
    for (const DavProperty &property : properties)
        appendElement(property.name, namesOnly ? nullptr : &property.valueXml);
    m_out.append("</D:prop><D:status>").append(status == 200 ? Found : statusLine(status)).append("</D:status></D:propstat>");
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

QByteArray MultistatusWriter::finish()
{
    m_out.append("</D:multistatus>\n");
    return std::move(m_out);
}
