#include "XmlDocument.h"

#include "XmlParsing.h"

#include <QHash>
#include <QMutex>
#include <QMutexLocker>

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxslt/documents.h>
#include <libxslt/security.h>
#include <libxslt/transform.h>
#include <libxslt/xslt.h>
#include <libxslt/xsltInternals.h>
#include <libxslt/xsltutils.h>

#include <mutex>

namespace {

// The session uses about a dozen stylesheets over and over; the bound keeps a
// caller that builds stylesheets on the fly from growing memory.
constexpr qsizetype MaxCachedStylesheets = 32;

void discardMessage(void *, const char *, ...)
{
}

// Refuses every file and network access a stylesheet asks for. Stopping the
// transformation makes the refusal an error the caller sees instead of a
// silently empty node-set.
int refuseAccess(xsltSecurityPrefsPtr, xsltTransformContextPtr context, const char *)
{
    if (context)
        context->state = XSLT_STATE_STOPPED;
    return 0;
}

// Loads nothing: xsl:include, xsl:import and document() never reach outside
// the stylesheet, whatever the security preferences say.
xmlDocPtr refuseDocumentLoad(const xmlChar *, xmlDictPtr, int, void *, xsltLoadType)
{
    return nullptr;
}

void initialiseLibrariesOnce()
{
    static std::once_flag once;
    std::call_once(once, [] {
        xmlInitParser();
        xsltInit();
        xsltSetGenericErrorFunc(nullptr, discardMessage);
        xsltSetLoaderFunc(refuseDocumentLoad);
        xsltSecurityPrefsPtr prefs = xsltNewSecurityPrefs();
        for (xsltSecurityOption option :
             {XSLT_SECPREF_READ_FILE, XSLT_SECPREF_WRITE_FILE, XSLT_SECPREF_CREATE_DIRECTORY, XSLT_SECPREF_READ_NETWORK,
              XSLT_SECPREF_WRITE_NETWORK})
            xsltSetSecurityPrefs(prefs, option, refuseAccess);
        xsltSetDefaultSecurityPrefs(prefs);
    });
}

using XmlParsing::DocumentHandle;
using StylesheetHandle = std::shared_ptr<xsltStylesheet>;

// Compiled stylesheets by their source text, so a stored stylesheet applied
// again and again is compiled once.
class StylesheetCache
{
public:
    static StylesheetCache &instance()
    {
        static StylesheetCache cache;
        return cache;
    }

    StylesheetHandle compiled(const QByteArray &source, xmlDocPtr document)
    {
        QMutexLocker lock(&m_mutex);
        auto found = m_entries.find(source);
        if (found != m_entries.end()) {
            found->lastUse = ++m_useCounter;
            return found->stylesheet;
        }
        StylesheetHandle stylesheet = compile(document);
        if (m_entries.size() >= MaxCachedStylesheets)
            evictLeastRecentlyUsed();
        m_entries.insert(source, Entry{stylesheet, ++m_useCounter});
        return stylesheet;
    }

private:
    struct Entry
    {
        StylesheetHandle stylesheet; // null when the source did not compile
        quint64 lastUse = 0;
    };

    static StylesheetHandle compile(xmlDocPtr document)
    {
        // The compiler takes the document over and rewrites it: give it a copy.
        xmlDocPtr copy = xmlCopyDoc(document, 1);
        if (!copy)
            return {};
        xsltStylesheetPtr stylesheet = xsltParseStylesheetDoc(copy);
        if (!stylesheet) {
            xmlFreeDoc(copy);
            return {};
        }
        if (stylesheet->errors != 0) {
            xsltFreeStylesheet(stylesheet);
            return {};
        }
        return StylesheetHandle(stylesheet, xsltFreeStylesheet);
    }

    void evictLeastRecentlyUsed()
    {
        auto oldest = m_entries.begin();
        for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
            if (it->lastUse < oldest->lastUse)
                oldest = it;
        }
        if (oldest != m_entries.end())
            m_entries.erase(oldest);
    }

    QMutex m_mutex;
    QHash<QByteArray, Entry> m_entries;
    quint64 m_useCounter = 0;
};

QByteArray fail(bool *ok, int *errorNumber, int number)
{
    if (ok)
        *ok = false;
    if (errorNumber)
        *errorNumber = number;
    return QByteArray();
}

} // namespace

struct XmlDocument::Private
{
    Private(DocumentHandle parsed, QByteArray text)
        : document(std::move(parsed))
        , source(std::move(text))
    {
    }
    DocumentHandle document;
    QByteArray source; // the text it was parsed from: the stylesheet cache's key
};

XmlDocument::XmlDocument() = default;

bool XmlDocument::loadXML(const QByteArray &text)
{
    initialiseLibrariesOnce();
    d.reset();
    m_parseError.clear();
    DocumentHandle parsed = XmlParsing::parse(text, &m_parseError);
    if (!parsed)
        return false;
    d = std::make_shared<Private>(std::move(parsed), text);
    return true;
}

QByteArray XmlDocument::xml() const
{
    if (isEmpty())
        return QByteArray();
    xmlChar *memory = nullptr;
    int size = 0;
    xmlDocDumpMemoryEnc(d->document.get(), &memory, &size, "UTF-8");
    QByteArray text(reinterpret_cast<const char *>(memory), memory ? size : 0);
    xmlFree(memory);
    return text;
}

bool XmlDocument::isEmpty() const
{
    return !d || !d->document;
}

QByteArray XmlDocument::parseError() const
{
    return m_parseError;
}

QByteArray XmlDocument::transformNode(const XmlDocument &stylesheet, bool *ok, int *errorNumber) const
{
    initialiseLibrariesOnce();
    if (isEmpty())
        return fail(ok, errorNumber, ErrorNoDocument);
    if (stylesheet.isEmpty())
        return fail(ok, errorNumber, ErrorInvalidStylesheet);
    StylesheetHandle compiled =
        StylesheetCache::instance().compiled(stylesheet.d->source, stylesheet.d->document.get());
    if (!compiled)
        return fail(ok, errorNumber, ErrorInvalidStylesheet);

    xmlDocPtr source = d->document.get();
    xsltTransformContextPtr context = xsltNewTransformContext(compiled.get(), source);
    if (!context)
        return fail(ok, errorNumber, ErrorTransformFailed);
    xsltSetCtxtSecurityPrefs(xsltGetDefaultSecurityPrefs(), context);
    xsltSetTransformErrorFunc(context, nullptr, discardMessage);
    DocumentHandle result(xsltApplyStylesheetUser(compiled.get(), source, nullptr, nullptr, nullptr, context),
                          xmlFreeDoc);
    const bool ran = result && context->state == XSLT_STATE_OK;
    xsltFreeTransformContext(context);
    if (!ran)
        return fail(ok, errorNumber, ErrorTransformFailed);

    xmlChar *memory = nullptr;
    int size = 0;
    if (xsltSaveResultToString(&memory, &size, result.get(), compiled.get()) != 0) {
        xmlFree(memory);
        return fail(ok, errorNumber, ErrorTransformFailed);
    }
    QByteArray text(reinterpret_cast<const char *>(memory), memory ? size : 0);
    xmlFree(memory);
    if (ok)
        *ok = true;
    if (errorNumber)
        *errorNumber = 0;
    return text;
}
