#pragma once

#include "DavProperty.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QPair>

// Writes a D:multistatus answer (RFC 4918). Namespaces other than DAV: and
// ours that the answer names are declared once, on the root element, so
// each response repeats only their short prefixes. The text can be taken in
// pieces as it is written, so a long answer is never held whole.
class MultistatusWriter
{
public:
    // echoedNames: the property names a client sent that the answer may
    // name back (a PROPFIND's or PROPPATCH's), for their namespaces.
    explicit MultistatusWriter(const QList<DavPropertyName> &echoedNames = {});

    // A resource and its properties, filtered by what the PROPFIND asked
    // for: named properties the resource lacks are reported 404.
    void addResource(const QByteArray &href, const QList<DavProperty> &properties, const PropfindRequest &request);
    // A resource with one status per property (PROPPATCH answers).
    void addPropertyStatuses(const QByteArray &href, const QList<QPair<DavPropertyName, int>> &statuses);

    // The text written since the last take().
    QByteArray take();
    qsizetype pendingBytes() const { return m_out.size(); }
    // Closes the document and gives what was not taken yet.
    QByteArray finish();

    static QByteArray statusLine(int status);

private:
    void appendPropStat(const QList<DavProperty> &properties, bool namesOnly, int status);
    void appendElement(const DavPropertyName &name, const QByteArray *valueXml);
    QByteArray tagFor(const DavPropertyName &name, QByteArray *declaration) const;

    QHash<QByteArray, QByteArray> m_prefixOfNamespace;
    QByteArray m_out;
};
