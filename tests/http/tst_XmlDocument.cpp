#include "XmlDocument.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

// Parsing, serialising and transforming, and the refusals that keep a hostile
// answer or stylesheet from reading files or exhausting memory.
class tst_XmlDocument : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void wellFormedTextRoundTrips();
    void notWellFormedTextLeavesDocumentEmpty_data();
    void notWellFormedTextLeavesDocumentEmpty();
    void copiesKeepTheirDocumentWhenTheOriginalReloads();

    void externalEntitiesAreNeverRead_data();
    void externalEntitiesAreNeverRead();
    void entityExpansionBombIsRefused();

    void textStylesheetPicksValuesOutOfANamespacedAnswer();
    void stylesheetsWithDifferentTextsAreNotConfused();
    void transformFailuresAreReportedAsNumbers();
    void stylesheetCannotReadFiles_data();
    void stylesheetCannotReadFiles();

private:
    QString writeSecretFile(const QString &name, const QByteArray &content);
    QTemporaryDir m_dir;
};

namespace {

const QByteArray Secret = "TOP-SECRET-CONTENT-4711";

const QByteArray Multistatus = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                               "<D:multistatus xmlns:D=\"DAV:\" xmlns:z=\"urn:example:mail\">"
                               "<D:response><D:href>http://127.0.0.1/mail/inbox/</D:href>"
                               "<D:propstat><D:prop><z:unreadcount>3</z:unreadcount></D:prop></D:propstat></D:response>"
                               "<D:response><D:href>http://127.0.0.1/mail/deleted/</D:href>"
                               "<D:propstat><D:prop><z:unreadcount>0</z:unreadcount></D:prop></D:propstat></D:response>"
                               "</D:multistatus>";

QByteArray textStylesheet(const QByteArray &templateBody)
{
    return "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\""
           " xmlns:D=\"DAV:\" xmlns:z=\"urn:example:mail\">"
           "<xsl:output method=\"text\"/>"
           "<xsl:template match=\"/\">"
        + templateBody
        + "</xsl:template>"
          "</xsl:stylesheet>";
}

XmlDocument loaded(const QByteArray &text)
{
    XmlDocument document;
    if (!document.loadXML(text))
        qWarning("test document did not load: %s", document.parseError().constData());
    return document;
}

} // namespace

void tst_XmlDocument::initTestCase()
{
    QVERIFY(m_dir.isValid());
}

QString tst_XmlDocument::writeSecretFile(const QString &name, const QByteArray &content)
{
    const QString path = m_dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

void tst_XmlDocument::wellFormedTextRoundTrips()
{
    XmlDocument document;
    QVERIFY(document.isEmpty());
    QVERIFY(document.xml().isEmpty());

    QVERIFY(document.loadXML(Multistatus));
    QVERIFY(!document.isEmpty());
    QVERIFY(document.parseError().isEmpty());

    // What comes out parses again to the same serialisation.
    const QByteArray once = document.xml();
    QVERIFY(once.contains("<D:href>http://127.0.0.1/mail/deleted/</D:href>"));
    XmlDocument again;
    QVERIFY(again.loadXML(once));
    QCOMPARE(again.xml(), once);
}

void tst_XmlDocument::notWellFormedTextLeavesDocumentEmpty_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("plain text") << QByteArray("Hotmail service unavailable");
    QTest::newRow("unclosed element") << QByteArray("<a><b></a>");
    QTest::newRow("two roots") << QByteArray("<a/><b/>");
    QTest::newRow("undeclared prefix") << QByteArray("<D:a/>");
    QTest::newRow("html error page") << QByteArray("<html><body><p>Bad<br></body></html>");
    QTest::newRow("invalid utf-8") << QByteArray("<a>\xff\xfe</a>");
    QTest::newRow("truncated answer") << Multistatus.left(Multistatus.size() / 2);
    QTest::newRow("nul inside") << QByteArray("<a>x\0y</a>", 10);
}

void tst_XmlDocument::notWellFormedTextLeavesDocumentEmpty()
{
    QFETCH(QByteArray, text);
    XmlDocument document;
    QVERIFY(document.loadXML("<previous/>"));

    QVERIFY(!document.loadXML(text));
    QVERIFY(document.isEmpty());
    QCOMPARE(document.xml(), QByteArray());
    QVERIFY(!document.parseError().isEmpty());
}

void tst_XmlDocument::copiesKeepTheirDocumentWhenTheOriginalReloads()
{
    XmlDocument original = loaded("<first/>");
    const XmlDocument copy = original;
    QVERIFY(original.loadXML("<second/>"));
    QVERIFY(copy.xml().contains("<first/>"));
    QVERIFY(original.xml().contains("<second/>"));
    QVERIFY(!original.loadXML("<broken"));
    QVERIFY(copy.xml().contains("<first/>"));
}

void tst_XmlDocument::externalEntitiesAreNeverRead_data()
{
    const QString secretPath = writeSecretFile("secret.txt", Secret);
    const QByteArray secretUrl = QUrl::fromLocalFile(secretPath).toEncoded();
    const QString dtdPath = writeSecretFile("outside.dtd",
                                            "<!ENTITY leak SYSTEM \"" + secretUrl
                                                + "\">\n"
                                                  "<!ENTITY inline \""
                                                + Secret + "\">\n");
    const QByteArray dtdUrl = QUrl::fromLocalFile(dtdPath).toEncoded();

    QTest::addColumn<QByteArray>("text");
    QTest::newRow("system entity in content")
        << QByteArray("<!DOCTYPE r [<!ENTITY x SYSTEM \"" + secretUrl + "\">]><r>&x;</r>");
    QTest::newRow("system entity by plain path")
        << QByteArray("<!DOCTYPE r [<!ENTITY x SYSTEM \"" + secretPath.toUtf8() + "\">]><r>&x;</r>");
    QTest::newRow("parameter entity pulling a dtd")
        << QByteArray("<!DOCTYPE r [<!ENTITY % p SYSTEM \"" + dtdUrl + "\"> %p;]><r>&leak;</r>");
    QTest::newRow("external subset") << QByteArray("<!DOCTYPE r SYSTEM \"" + dtdUrl + "\"><r>&inline;&leak;</r>");
    QTest::newRow("entity in attribute") << QByteArray("<!DOCTYPE r [<!ENTITY x SYSTEM \"" + secretUrl
                                                       + "\">]><r a=\"&x;\"/>");
}

void tst_XmlDocument::externalEntitiesAreNeverRead()
{
    QFETCH(QByteArray, text);
    XmlDocument document;
    document.loadXML(text); // refusing or keeping the reference unexpanded are both sound
    QVERIFY(!document.xml().contains(Secret));

    // Nor can a stylesheet pull the content out of whatever was kept.
    bool ok = true;
    const QByteArray output = document.transformNode(loaded(textStylesheet("<xsl:value-of select=\".\"/>")), &ok);
    QVERIFY(!output.contains(Secret));
}

void tst_XmlDocument::entityExpansionBombIsRefused()
{
    QByteArray bomb = "<?xml version=\"1.0\"?>\n<!DOCTYPE lolz [\n<!ENTITY lol0 \"lol\">\n";
    for (int level = 1; level <= 10; ++level) {
        bomb += "<!ENTITY lol" + QByteArray::number(level) + " \"";
        for (int i = 0; i < 10; ++i)
            bomb += "&lol" + QByteArray::number(level - 1) + ";";
        bomb += "\">\n";
    }
    bomb += "]>\n<lolz>&lol10;</lolz>";

    XmlDocument document;
    QVERIFY(!document.loadXML(bomb));
    QVERIFY(document.isEmpty());
    QVERIFY(document.parseError().contains("entity"));
}

void tst_XmlDocument::textStylesheetPicksValuesOutOfANamespacedAnswer()
{
    const XmlDocument answer = loaded(Multistatus);
    const XmlDocument countOfInbox = loaded(textStylesheet(
        "<xsl:value-of select=\"//D:response[D:href='http://127.0.0.1/mail/inbox/']//z:unreadcount\"/>"));
    const XmlDocument hrefList = loaded(textStylesheet(
        "<xsl:for-each select=\"//D:href\"><xsl:text>*</xsl:text><xsl:value-of select=\".\"/></xsl:for-each>"));

    bool ok = false;
    int error = -1;
    QCOMPARE(answer.transformNode(countOfInbox, &ok, &error), QByteArray("3"));
    QVERIFY(ok);
    QCOMPARE(error, 0);
    // Text output carries no declaration and no markup.
    QCOMPARE(answer.transformNode(hrefList, &ok),
             QByteArray("*http://127.0.0.1/mail/inbox/*http://127.0.0.1/mail/deleted/"));
    QVERIFY(ok);

    // An answer that yields nothing is an empty text, not a failure.
    const XmlDocument nothing = loaded(textStylesheet("<xsl:value-of select=\"//D:nosuch\"/>"));
    QCOMPARE(answer.transformNode(nothing, &ok), QByteArray());
    QVERIFY(ok);
}

void tst_XmlDocument::stylesheetsWithDifferentTextsAreNotConfused()
{
    const XmlDocument answer = loaded(Multistatus);
    // Many distinct stylesheets, more than any cache would keep, used twice
    // in an interleaved order: each must give its own output every time.
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < 80; ++i) {
            const XmlDocument stylesheet = loaded(textStylesheet("<xsl:text>" + QByteArray::number(i) + "</xsl:text>"));
            bool ok = false;
            QCOMPARE(answer.transformNode(stylesheet, &ok), QByteArray::number(i));
            QVERIFY(ok);
        }
    }
    // The same text loaded into two documents gives the same result.
    const QByteArray text = textStylesheet("<xsl:value-of select=\"count(//D:response)\"/>");
    QCOMPARE(answer.transformNode(loaded(text)), QByteArray("2"));
    QCOMPARE(answer.transformNode(loaded(text)), QByteArray("2"));
}

void tst_XmlDocument::transformFailuresAreReportedAsNumbers()
{
    const XmlDocument answer = loaded(Multistatus);
    const XmlDocument stylesheet = loaded(textStylesheet("<xsl:text>x</xsl:text>"));
    bool ok = true;
    int error = 0;

    QCOMPARE(XmlDocument().transformNode(stylesheet, &ok, &error), QByteArray());
    QVERIFY(!ok);
    QCOMPARE(error, XmlDocument::ErrorNoDocument);

    ok = true;
    QCOMPARE(answer.transformNode(XmlDocument(), &ok, &error), QByteArray());
    QVERIFY(!ok);
    QCOMPARE(error, XmlDocument::ErrorInvalidStylesheet);

    ok = true;
    QCOMPARE(answer.transformNode(loaded("<not-a-stylesheet/>"), &ok, &error), QByteArray());
    QVERIFY(!ok);
    QCOMPARE(error, XmlDocument::ErrorInvalidStylesheet);

    ok = true;
    const XmlDocument badXPath = loaded(textStylesheet("<xsl:value-of select=\"//[\"/>"));
    answer.transformNode(badXPath, &ok, &error);
    QVERIFY(!ok);
    QCOMPARE(error, XmlDocument::ErrorInvalidStylesheet);

    ok = true;
    const XmlDocument terminates = loaded(textStylesheet("<xsl:message terminate=\"yes\">stop</xsl:message>"));
    answer.transformNode(terminates, &ok, &error);
    QVERIFY(!ok);
    QCOMPARE(error, XmlDocument::ErrorTransformFailed);

    ok = true;
    const XmlDocument endless =
        loaded("<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">"
               "<xsl:output method=\"text\"/>"
               "<xsl:template match=\"/\"><xsl:call-template name=\"again\"/></xsl:template>"
               "<xsl:template name=\"again\"><xsl:call-template name=\"again\"/></xsl:template>"
               "</xsl:stylesheet>");
    answer.transformNode(endless, &ok, &error);
    QVERIFY(!ok);
    QCOMPARE(error, XmlDocument::ErrorTransformFailed);
}

void tst_XmlDocument::stylesheetCannotReadFiles_data()
{
    const QString secretXml = writeSecretFile("secret.xml", "<s>" + Secret + "</s>");
    const QByteArray secretUrl = QUrl::fromLocalFile(secretXml).toEncoded();
    const QString included =
        writeSecretFile("included.xsl",
                        "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">"
                        "<xsl:template name=\"leak\"><xsl:text>"
                            + Secret
                            + "</xsl:text></xsl:template>"
                              "</xsl:stylesheet>");
    const QByteArray includedUrl = QUrl::fromLocalFile(included).toEncoded();

    auto withTopLevel = [](const QByteArray &topLevel) {
        return "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">" + topLevel
            + "<xsl:output method=\"text\"/>"
              "<xsl:template match=\"/\"><xsl:call-template name=\"leak\"/></xsl:template>"
              "</xsl:stylesheet>";
    };

    QTest::addColumn<QByteArray>("stylesheet");
    QTest::addColumn<int>("expectedError");
    QTest::newRow("document() by url") << textStylesheet("<xsl:value-of select=\"document('" + secretUrl + "')\"/>")
                                       << XmlDocument::ErrorTransformFailed;
    QTest::newRow("document() by path") << textStylesheet("<xsl:value-of select=\"document('" + secretXml.toUtf8()
                                                          + "')\"/>")
                                        << XmlDocument::ErrorTransformFailed;
    QTest::newRow("xsl:include") << withTopLevel("<xsl:include href=\"" + includedUrl + "\"/>")
                                 << XmlDocument::ErrorInvalidStylesheet;
    QTest::newRow("xsl:import") << withTopLevel("<xsl:import href=\"" + includedUrl + "\"/>")
                                << XmlDocument::ErrorInvalidStylesheet;
}

void tst_XmlDocument::stylesheetCannotReadFiles()
{
    QFETCH(QByteArray, stylesheet);
    QFETCH(int, expectedError);
    const XmlDocument answer = loaded(Multistatus);
    bool ok = true;
    int error = 0;
    const QByteArray output = answer.transformNode(loaded(stylesheet), &ok, &error);
    QVERIFY(!output.contains(Secret));
    QVERIFY(!ok);
    QCOMPARE(error, expectedError);
}

QTEST_GUILESS_MAIN(tst_XmlDocument)
#include "tst_XmlDocument.moc"
