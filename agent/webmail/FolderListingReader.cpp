#include "FolderListingReader.h"

#include "XmlStreamParser.h"

#include <QList>

#include <cstring>

namespace {

const char DavNamespace[] = "DAV:";
const char MailNamespace[] = "urn:zorvane:mail";

bool IsXmlBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool Named(const char *namespaceName, const char *localName, const char *wantedNamespace, const char *wantedName)
{
    return std::strcmp(localName, wantedName) == 0 && std::strcmp(namespaceName, wantedNamespace) == 0;
}

// What an open element is to the listing, by its place under the root.
enum class Role {
    Other,       // nothing the listing looks at, nor anything inside it
    Multistatus, // the document element
    Response,
    Href,
    Propstat,
    Prop,
    Read,
    Size,
};

class Listing : public XmlStreamParser::Handler
{
public:
    explicit Listing(bool listAll)
        : m_listAll(listAll)
    {
    }

    void startElement(const char *namespaceName, const char *localName) override
    {
        m_open.append(RoleOf(namespaceName, localName));
        switch (m_open.last()) {
        case Role::Response:
            m_response = Response();
            break;
        case Role::Href:
        case Role::Read:
        case Role::Size:
            m_text.clear();
            m_capturing = true;
            break;
        default:
            break;
        }
    }

    void endElement() override
    {
        if (m_open.isEmpty())
            return;
        const Role role = m_open.takeLast();
        switch (role) {
        case Role::Response:
            EndResponse();
            break;
        case Role::Href:
            KeepFirst(m_response.href);
            break;
        case Role::Read:
            m_response.hasRead = true;
            m_response.readsZero = m_response.readsZero || m_text == "0";
            m_capturing = false;
            break;
        case Role::Size:
            KeepFirst(m_response.size);
            break;
        default:
            break;
        }
    }

    void characters(const char *bytes, int length) override
    {
        // The string value of an element is all the text inside it, that of
        // elements within it included.
        if (m_capturing)
            m_text.append(bytes, length);
    }

    FolderListingReader::Lists lists;

private:
    struct Response
    {
        // The first of each, in document order; none seen yet while empty.
        std::optional<QByteArray> href;
        std::optional<QByteArray> size;
        bool hasRead = false;
        bool readsZero = false;
    };

    void KeepFirst(std::optional<QByteArray> &value)
    {
        if (!value)
            value = m_text;
        m_capturing = false;
    }

    Role RoleOf(const char *namespaceName, const char *localName) const
    {
        const Role parent = m_open.isEmpty() ? Role::Other : m_open.last();
        if (m_open.isEmpty())
            return Named(namespaceName, localName, DavNamespace, "multistatus") ? Role::Multistatus : Role::Other;
        switch (parent) {
        case Role::Multistatus:
            return Named(namespaceName, localName, DavNamespace, "response") ? Role::Response : Role::Other;
        case Role::Response:
            if (Named(namespaceName, localName, DavNamespace, "href"))
                return Role::Href;
            return Named(namespaceName, localName, DavNamespace, "propstat") ? Role::Propstat : Role::Other;
        case Role::Propstat:
            return Named(namespaceName, localName, DavNamespace, "prop") ? Role::Prop : Role::Other;
        case Role::Prop:
            if (Named(namespaceName, localName, MailNamespace, "read"))
                return Role::Read;
            return Named(namespaceName, localName, DavNamespace, "getcontentlength") ? Role::Size : Role::Other;
        default:
            // Inside an href, a read or a size only the text counts; inside
            // anything else nothing does.
            return Role::Other;
        }
    }

    void EndResponse()
    {
        if (!(m_listAll ? m_response.hasRead : m_response.readsZero))
            return;
        lists.addresses += '*';
        lists.addresses += FolderListingReader::NormalizeSpace(m_response.href.value_or(QByteArray()));
        lists.sizes += '+';
        lists.sizes += FolderListingReader::NormalizeSpace(m_response.size.value_or(QByteArray()));
    }

    const bool m_listAll;
    QList<Role> m_open;
    Response m_response;
    QByteArray m_text;
    bool m_capturing = false;
};

} // namespace

std::optional<FolderListingReader::Lists> FolderListingReader::Read(const QByteArray &answer, bool ListAll)
{
    Listing listing(ListAll);
    if (!XmlStreamParser::parse(answer, listing))
        return std::nullopt;
    return std::move(listing.lists);
}

QByteArray FolderListingReader::NormalizeSpace(const QByteArray &text)
{
    QByteArray normalized;
    normalized.reserve(text.size());
    bool blankPending = false;
    for (const char c : text) {
        if (IsXmlBlank(c)) {
            blankPending = !normalized.isEmpty();
            continue;
        }
        if (blankPending)
            normalized += ' ';
        blankPending = false;
        normalized += c;
    }
    return normalized;
}
