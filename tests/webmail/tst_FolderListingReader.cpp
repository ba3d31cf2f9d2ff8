// The folder listing read in one pass must give, for every answer, exactly
// the texts that the stored address-list and size-list stylesheets make of
// the same answer parsed as a document.

#include "FolderListingReader.h"
#include "StoredTexts.h"
#include "XmlDocument.h"

#include <QTest>

namespace {

const QByteArray Head = R"(<?xml version="1.0" encoding="utf-8"?>
<D:multistatus xmlns:D="DAV:" xmlns:m="urn:zorvane:mail">
)";
const QByteArray Tail = "</D:multistatus>\n";

QByteArray Response(const QByteArray &href, const QByteArray &props)
{
    return "<D:response><D:href>" + href + "</D:href><D:propstat><D:prop>" + props
        + "</D:prop><D:status>HTTP/1.1 200 OK</D:status></D:propstat></D:response>\n";
}

QByteArray Message(const QByteArray &href, const QByteArray &size, const QByteArray &read)
{
    return Response(href,
                    "<D:resourcetype/><D:getcontentlength>" + size
                        + "</D:getcontentlength><D:getcontenttype>message/rfc822</D:getcontenttype>"
                          "<m:read>"
                        + read + "</m:read>");
}

QByteArray Transformed(const QByteArray &answer, int storedEntry, bool *ok)
{
    XmlDocument document;
    XmlDocument stylesheet;
    *ok = document.loadXML(answer) && stylesheet.loadXML(LoadStoredText(storedEntry));
    if (!*ok)
        return QByteArray();
    return document.transformNode(stylesheet, ok);
}

} // namespace

class tst_FolderListingReader : public QObject
{
    Q_OBJECT

private slots:
    void sameTextsAsTheStoredStylesheets_data();
    void sameTextsAsTheStoredStylesheets();
    void serviceAnswerGivesItsMessages();
    void normalizeSpace_data();
    void normalizeSpace();
};

void tst_FolderListingReader::sameTextsAsTheStoredStylesheets_data()
{
    QTest::addColumn<QByteArray>("answer");
    const QByteArray folder = Response("http://h/m/inbox/",
                                       "<D:displayname>Inbox</D:displayname>"
                                       "<m:totalcount>3</m:totalcount>");
    QTest::newRow("service answer") << Head + folder + Message("http://h/m/inbox/a1", "100", "0")
            + Message("http://h/m/inbox/b2", "200", "1") + Message("http://h/m/inbox/c3", "300", "0") + Tail;
    QTest::newRow("empty folder") << Head + folder + Tail;
    QTest::newRow("blanks around and inside") << Head + Message("\n  http://h/m/inbox/a%201 \t", " \r\n 1 2 ", "0")
            + Message("http://h/m/inbox/  b\t\t2", "\t7\n", "1") + Tail;
    QTest::newRow("references, CDATA and comments")
        << Head + Message("http://h/m/in&amp;box/&#x41;<![CDATA[<b>]]><!-- no -->c", "1&#48;", "&#48;") + Tail;
    QTest::newRow("text of elements inside the address")
        << Head + Message("http://h/<x:part xmlns:x=\"urn:x\">m/</x:part>in<D:b>box</D:b>/z", "5", "0") + Tail;
    QTest::newRow("first address and first size count") << Head
            + "<D:response><D:href>http://h/first</D:href><D:href>http://h/second</D:href>"
              "<D:propstat><D:prop><D:getcontentlength>11</D:getcontentlength></D:prop></D:propstat>"
              "<D:propstat><D:prop><D:getcontentlength>22</D:getcontentlength><m:read>0</m:read>"
              "<D:getcontentlength>33</D:getcontentlength></D:prop></D:propstat></D:response>"
            + Tail;
    QTest::newRow("no size, no address") << Head
            + "<D:response><D:propstat><D:prop><m:read>0</m:read></D:prop></D:propstat></D:response>" + Tail;
    QTest::newRow("any read that says 0") << Head
            + "<D:response><D:href>http://h/a</D:href>"
              "<D:propstat><D:prop><m:read>1</m:read></D:prop></D:propstat>"
              "<D:propstat><D:prop><m:read>0</m:read><D:getcontentlength>4</D:getcontentlength></D:prop>"
              "</D:propstat></D:response>"
            + Tail;
    QTest::newRow("read that is not exactly 0") << Head + Message("http://h/a", "1", " 0")
            + Message("http://h/b", "2", "00") + Message("http://h/c", "3", "")
            + Message("http://h/d", "4", "<D:x>0</D:x>") + Tail;
    QTest::newRow("read and size out of place") << Head
            + "<D:response><D:href>http://h/a</D:href><m:read>0</m:read><D:getcontentlength>1</D:getcontentlength>"
              "<D:propstat><m:read>0</m:read></D:propstat>"
              "<D:propstat><D:prop><D:other><m:read>0</m:read></D:other></D:prop></D:propstat></D:response>"
            + "<D:other>" + Message("http://h/nested", "2", "0") + "</D:other>" + Tail;
    QTest::newRow("names in other namespaces") << Head
            + Response("http://h/a", "<D:read>0</D:read><m:getcontentlength>1</m:getcontentlength>")
            + Response("http://h/b", "<read xmlns=\"urn:zorvane:mail2\">0</read>") + Tail;
    QTest::newRow("other prefixes, default namespace")
        << QByteArray("<multistatus xmlns=\"DAV:\"><response><href>http://h/a</href><propstat><prop>"
                      "<getcontentlength>9</getcontentlength><x:read xmlns:x=\"urn:zorvane:mail\">0</x:read>"
                      "</prop></propstat></response></multistatus>");
    QTest::newRow("root that is no multistatus")
        << QByteArray("<D:other xmlns:D=\"DAV:\" xmlns:m=\"urn:zorvane:mail\">") + Message("http://h/a", "1", "0")
            + "</D:other>";
    QTest::newRow("address with the separators")
        << Head + Message("http://h/a*b+c", "1", "0") + Message("http://h/d", "+2", "0") + Tail;
    QTest::newRow("non-ASCII address") << Head + Message("http://h/m/\xc3\xa9t\xc3\xa9", "1", "0") + Tail;
}

void tst_FolderListingReader::sameTextsAsTheStoredStylesheets()
{
    QFETCH(QByteArray, answer);
    for (const bool listAll : {false, true}) {
        bool ok = false;
        const QByteArray addresses = Transformed(answer, listAll ? 1015 : 1014, &ok);
        QVERIFY(ok);
        const QByteArray sizes = Transformed(answer, listAll ? 1017 : 1016, &ok);
        QVERIFY(ok);
        const std::optional<FolderListingReader::Lists> lists = FolderListingReader::Read(answer, listAll);
        QVERIFY(lists);
        QCOMPARE(lists->addresses, addresses);
        QCOMPARE(lists->sizes, sizes);
    }
}

void tst_FolderListingReader::serviceAnswerGivesItsMessages()
{
    const QByteArray answer =
        Head + Message("http://h/m/inbox/a1", "100", "0") + Message("http://h/m/inbox/b2", "200", "1") + Tail;
    const auto unread = FolderListingReader::Read(answer, false);
    QVERIFY(unread);
    QCOMPARE(unread->addresses, QByteArray("*http://h/m/inbox/a1"));
    QCOMPARE(unread->sizes, QByteArray("+100"));
    const auto all = FolderListingReader::Read(answer, true);
    QVERIFY(all);
    QCOMPARE(all->addresses, QByteArray("*http://h/m/inbox/a1*http://h/m/inbox/b2"));
    QCOMPARE(all->sizes, QByteArray("+100+200"));

    // What a document would refuse, the reader refuses too.
    QVERIFY(!FolderListingReader::Read(answer.left(answer.size() - 5), true));
    QVERIFY(
        !FolderListingReader::Read("<!DOCTYPE d [<!ENTITY e \"x\">]>" + answer.mid(answer.indexOf('\n') + 1), true));
    QVERIFY(!FolderListingReader::Read(Head + "<u:response/>" + Tail, true));
    QVERIFY(!FolderListingReader::Read(QByteArray(), true));
}

void tst_FolderListingReader::normalizeSpace_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("normalized");
    QTest::newRow("empty") << QByteArray() << QByteArray();
    QTest::newRow("blanks only") << QByteArray(" \t\r\n ") << QByteArray();
    QTest::newRow("trimmed and joined") << QByteArray("\n a \t\r\n b  c\n") << QByteArray("a b c");
    QTest::newRow("other spaces stay") << QByteArray("a\vb\xc2\xa0"
                                                     "c")
                                       << QByteArray("a\vb\xc2\xa0"
                                                     "c");
}

void tst_FolderListingReader::normalizeSpace()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, normalized);
    QCOMPARE(FolderListingReader::NormalizeSpace(text), normalized);
}

QTEST_GUILESS_MAIN(tst_FolderListingReader)
#include "tst_FolderListingReader.moc"
