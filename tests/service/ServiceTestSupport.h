#pragma once

// Helpers shared by the service tests: a client-side Digest answer, Maildir
// files, stored texts and stylesheet application.

#include <QByteArray>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QString>

#include <libxml/parser.h>
#include <libxslt/transform.h>
#include <libxslt/xsltInternals.h>
#include <libxslt/xsltutils.h>

namespace ServiceTest {

inline QByteArray md5Hex(const QByteArray &text)
{
    return QCryptographicHash::hash(text, QCryptographicHash::Md5).toHex();
}

// The parameters of a "Digest ..." challenge.
inline QHash<QByteArray, QByteArray> challengeParameters(const QByteArray &challenge)
{
    QHash<QByteArray, QByteArray> result;
    const QByteArray text = challenge.mid(challenge.indexOf(' ') + 1);
    for (const QByteArray &part : text.split(',')) {
        const qsizetype eq = part.indexOf('=');
        if (eq < 0)
            continue;
        QByteArray value = part.mid(eq + 1).trimmed();
        if (value.startsWith('"'))
            value = value.mid(1, value.size() - 2);
        result.insert(part.left(eq).trimmed(), value);
    }
    return result;
}

// The Authorization header a Digest client (qop=auth) sends for a challenge.
inline QByteArray digestAuthorization(const QByteArray &challenge, const QByteArray &method, const QByteArray &uri,
                                      const QByteArray &user, const QByteArray &password, int nc = 1)
{
    const auto p = challengeParameters(challenge);
    const QByteArray cnonce = "0a4f113b";
    const QByteArray ncText = QByteArray::number(nc, 16).rightJustified(8, '0');
    const QByteArray ha1 = md5Hex(user + ':' + p.value("realm") + ':' + password);
    const QByteArray ha2 = md5Hex(method + ':' + uri);
    const QByteArray response = md5Hex(ha1 + ':' + p.value("nonce") + ':' + ncText + ':' + cnonce + ":auth:" + ha2);
    return "Digest username=\"" + user + "\", realm=\"" + p.value("realm") + "\", nonce=\"" + p.value("nonce")
        + "\", uri=\"" + uri + "\", qop=auth, nc=" + ncText + ", cnonce=\"" + cnonce + "\", response=\"" + response
        + "\", opaque=\"" + p.value("opaque") + "\", algorithm=MD5";
}

inline QByteArray basicAuthorization(const QByteArray &user, const QByteArray &password)
{
    return "Basic " + (user + ':' + password).toBase64();
}

inline bool writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The files of a Maildir subfolder, sorted.
inline QStringList filesIn(const QString &folder)
{
    return QDir(folder).entryList(QDir::Files, QDir::Name);
}

// A stored text as the agent loads it: the file without its final LF.
inline QByteArray storedText(int entry)
{
    const QDir dir(qEnvironmentVariable("ZORVANE_SOURCE_DIR") + QStringLiteral("/agent/shell/storedtexts"));
    const QStringList matches = dir.entryList({QString::number(entry) + QStringLiteral("-*")}, QDir::Files);
    if (matches.size() != 1)
        return {};
    QByteArray text = readFile(dir.filePath(matches.first()));
    if (text.endsWith('\n'))
        text.chop(1);
    return text;
}

// Applies a stylesheet text to a document text with libxslt; ok false when
// either does not parse or the transformation fails.
inline QByteArray applyStylesheet(const QByteArray &document, const QByteArray &stylesheet, bool *ok)
{
    *ok = false;
    const int options = XML_PARSE_NONET;
    xmlDocPtr styleDoc = xmlReadMemory(stylesheet.constData(), int(stylesheet.size()), "style.xsl", nullptr, options);
    if (!styleDoc)
        return {};
    xsltStylesheetPtr style = xsltParseStylesheetDoc(styleDoc); // owns styleDoc from here
    if (!style) {
        xmlFreeDoc(styleDoc);
        return {};
    }
    xmlDocPtr source = xmlReadMemory(document.constData(), int(document.size()), "answer.xml", nullptr, options);
    QByteArray output;
    if (source) {
        xmlDocPtr result = xsltApplyStylesheet(style, source, nullptr);
        xmlChar *text = nullptr;
        int size = 0;
        if (result && xsltSaveResultToString(&text, &size, result, style) == 0) {
            output = QByteArray(reinterpret_cast<const char *>(text), size);
            *ok = true;
        }
        xmlFree(text);
        xmlFreeDoc(result);
        xmlFreeDoc(source);
    }
    xsltFreeStylesheet(style);
    return output;
}

} // namespace ServiceTest
