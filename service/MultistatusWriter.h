#pragma once

#include "DavProperty.h"

#include <QByteArray>
#include <QList>
#include <QPair>

// Builds a D:multistatus answer (RFC 4918) in one buffer.
class MultistatusWriter
{
public:
    explicit MultistatusWriter(qsizetype expectedResponses = 4);

    // A resource and its properties, filtered by what the PROPFIND asked
    // for: named properties the resource lacks are reported 404.
    void addResource(const QByteArray &href, const QList<DavProperty> &properties, const PropfindRequest &request);
    // A resource with one status per property (PROPPATCH answers).
    void addPropertyStatuses(const QByteArray &href, const QList<QPair<DavPropertyName, int>> &statuses);

    QByteArray finish();

    static QByteArray statusLine(int status);

private:
    void appendPropStat(const QList<DavProperty> &properties, bool namesOnly, int status);
    void appendElement(const DavPropertyName &name, const QByteArray *valueXml);

    QByteArray m_out;
};
