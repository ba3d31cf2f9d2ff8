// XML that attacks its reader: an external entity that reads a local file
// or fetches an address, an external DTD, a parameter entity, and entity
// expansion bombs. The agent meets them in the service's answers, the
// service in request bodies. Each is refused at once: no file content and no
// fetch leaks out, nothing hangs, and the next request is served.

#include "AgentProcess.h"
#include "FakeHttpPeer.h"
#include "LineClient.h"
#include "ScriptedMailService.h"
#include "ServiceProcess.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTemporaryDir>
#include <QUuid>
#include <QtTest>

#include <memory>

using Kind = ScriptedMailService::Kind;
Q_DECLARE_METATYPE(ScriptedMailService::Kind)

namespace {

const QByteArray Namespaces = "xmlns:D=\"DAV:\" xmlns:m=\"urn:zorvane:mail\"";
const QByteArrayList TrapPaths{"/xxe-entity", "/evil.dtd", "/param.dtd"};

// The attacks, each a document type declaration and the text that uses it.
struct Attack
{
    QByteArray doctype;
    QByteArray use; // goes where text is expected
};

QByteArray billionLaughs()
{
    QByteArray declarations = "<!ENTITY lol0 \"lol\">";
    for (int level = 1; level <= 10; ++level)
        declarations += "<!ENTITY lol" + QByteArray::number(level) + " \""
            + QByteArray("&lol" + QByteArray::number(level - 1) + ";").repeated(10) + "\">";
    return declarations;
}

Attack attackNamed(const QByteArray &name, const QString &secretFile, const QString &trapBase)
{
    const QByteArray trap = trapBase.toUtf8();
    if (name == "file entity")
        return {"<!DOCTYPE D:multistatus [<!ENTITY xxe SYSTEM \"file://" + QFile::encodeName(secretFile) + "\">]>",
                "&xxe;"};
    if (name == "network entity")
        return {"<!DOCTYPE D:multistatus [<!ENTITY xxe SYSTEM \"" + trap + "/xxe-entity\">]>", "&xxe;"};
    if (name == "external DTD")
        return {"<!DOCTYPE D:multistatus SYSTEM \"" + trap + "/evil.dtd\">", ""};
    if (name == "parameter entity")
        return {"<!DOCTYPE D:multistatus [<!ENTITY % p SYSTEM \"" + trap + "/param.dtd\"> %p;]>", "&fromdtd;"};
    if (name == "billion laughs")
        return {"<!DOCTYPE D:multistatus [" + billionLaughs() + "]>", "&lol10;"};
    // One entity of 64 KiB used 100000 times: 6 GiB if expanded.
    return {"<!DOCTYPE D:multistatus [<!ENTITY big \"" + QByteArray(64 * 1024, 'a') + "\">]>",
            QByteArray("&big;").repeated(100000)};
}

QByteArray multistatus(const Attack &attack, const QByteArray &responses)
{
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n" + attack.doctype + "\n<D:multistatus " + Namespaces + ">"
        + responses + "</D:multistatus>";
}

QByteArray response(const QByteArray &href, const QByteArray &props)
{
    return "<D:response><D:href>" + href + "</D:href><D:propstat><D:prop>" + props
        + "</D:prop><D:status>HTTP/1.1 200 OK</D:status></D:propstat></D:response>";
}

} // namespace

class tst_HostileXml : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void agentRefusesHostileAnswers_data();
    void agentRefusesHostileAnswers();
    void serviceRefusesHostileBodies_data();
    void serviceRefusesHostileBodies();

private:
    QString trapBase() const { return m_trap.url(QString()); }
    bool trapWasFetched() const;

    QTemporaryDir m_secretDir;
    QString m_secretFile;
    QByteArray m_secret;
    // Records every fetch an attack might cause; nothing should ever arrive.
    FakeHttpPeer m_trap;
    std::unique_ptr<QTemporaryDir> m_root;
    std::unique_ptr<ScriptedMailService> m_service;
    std::unique_ptr<AgentProcess> m_agent;
};

void tst_HostileXml::initTestCase()
{
    QVERIFY(m_secretDir.isValid());
    m_secret = "TOP-SECRET-" + QUuid::createUuid().toByteArray(QUuid::Id128);
    m_secretFile = m_secretDir.filePath(QStringLiteral("secret.txt"));
    QFile file(m_secretFile);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(m_secret);
    file.close();
    QVERIFY(m_trap.listen());
    m_trap.setResponder([](const FakeHttpPeer::Request &) {
        return FakeHttpPeer::reply(200, "OK", "<!ENTITY fromdtd \"from the trap\">",
                                   {{"Content-Type", "application/xml-dtd"}});
    });
}

void tst_HostileXml::cleanupTestCase()
{
    QVERIFY(!trapWasFetched());
}

void tst_HostileXml::init()
{
    m_root = std::make_unique<QTemporaryDir>();
    QVERIFY(m_root->isValid());
}

void tst_HostileXml::cleanup()
{
    m_agent.reset();
    m_service.reset();
    m_root.reset();
}

bool tst_HostileXml::trapWasFetched() const
{
    return !m_trap.requests().isEmpty();
}

void tst_HostileXml::agentRefusesHostileAnswers_data()
{
    QTest::addColumn<QByteArray>("attack");
    QTest::addColumn<Kind>("kind");
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<QByteArray>("expected");

    for (const QByteArray attack :
         {"file entity", "network entity", "parameter entity", "billion laughs", "quadratic blow-up"}) {
        QTest::newRow((attack + " in the login answer").constData())
            << attack << Kind::Login << QByteArray("STAT") << QByteArray("-ERR Store not loaded\r\n");
        QTest::newRow((attack + " in the folder count").constData())
            << attack << Kind::FolderCollection << QByteArray("STAT") << QByteArray("-ERR Store not loaded\r\n");
        QTest::newRow((attack + " in the message list").constData())
            << attack << Kind::FolderListing << QByteArray("UIDL") << QByteArray("-ERR Store not loaded\r\n");
        QTest::newRow((attack + " in the message properties").constData())
            << attack << Kind::Properties << QByteArray("TOP 2 0") << QByteArray("+OK\r\nX-Comm-Error: ");
    }
    // A document type that names an outside DTD but uses nothing from it is
    // harmless as long as the DTD is never fetched: the answer is read as
    // it stands.
    for (const Kind kind : {Kind::Login, Kind::FolderCollection, Kind::FolderListing, Kind::Properties})
        QTest::newRow(("external DTD, answer kind " + QByteArray::number(int(kind))).constData())
            << QByteArray("external DTD") << kind << QByteArray(kind == Kind::Properties ? "TOP 2 0" : "STAT")
            << QByteArray("+OK");
}

void tst_HostileXml::agentRefusesHostileAnswers()
{
    QFETCH(QByteArray, attack);
    QFETCH(Kind, kind);
    QFETCH(QByteArray, command);
    QFETCH(QByteArray, expected);

    m_service = std::make_unique<ScriptedMailService>();
    m_service->setMessages({"Subject: one\r\n\r\nOne.\r\n", "Subject: two\r\n\r\n" + QByteArray(12000, 'x') + "\r\n"});
    QVERIFY(m_service->listen());
    m_agent = std::make_unique<AgentProcess>(m_root->path());
    m_agent->writeSettings(m_service->serviceUrl(), m_service->altServiceUrl(), "DebugMode=1\nListUnreadOnly=0\n");
    QVERIFY(m_agent->start());

    const Attack hostile = attackNamed(attack, m_secretFile, trapBase());
    const QByteArray home = m_service->serviceUrl().toUtf8().replace("/dav/", "/mail/user@zorvane.test/");
    QByteArray responses;
    switch (kind) {
    case Kind::Login:
    case Kind::FolderCollection:
        responses = response(home,
                             "<m:address>" + hostile.use + "</m:address><m:inbox>" + home + "inbox/" + hostile.use
                                 + "</m:inbox>")
            + response(home + "inbox/",
                       "<m:totalcount>2</m:totalcount><m:unreadcount>2" + hostile.use + "</m:unreadcount>");
        break;
    case Kind::FolderListing:
        responses =
            response(home + "inbox/" + hostile.use, "<D:getcontentlength>10</D:getcontentlength><m:read>0</m:read>");
        break;
    default:
        responses = response(home + "inbox/msg2",
                             "<m:read>0</m:read><m:header><m:line>Subject: " + hostile.use + "</m:line></m:header>");
        break;
    }
    m_service->setFault(kind, ScriptedMailService::multistatusAnswer(multistatus(hostile, responses)));

    LineClient client;
    QVERIFY(client.connectTo(m_agent->pop3Port()));
    QCOMPARE(client.readLine(), QByteArray("+OK Zorvane Welcome\r\n"));
    QCOMPARE(client.command("USER user"), QByteArray("+OK password required\r\n"));
    QCOMPARE(client.command("PASS secret"), QByteArray("+OK logged in\r\n"));
    if (kind == Kind::Properties)
        QVERIFY(client.command("STAT").startsWith("+OK 2 "));
    client.send(command + "\r\n");
    QVERIFY(client.waitFor(expected));
    const QByteArray reply = client.takeAll();
    QVERIFY2(reply.startsWith(expected), reply.constData());
    QVERIFY(!reply.contains(m_secret));
    QVERIFY(m_service->requestCount(kind) >= 1);
    client.abort();

    QVERIFY(!trapWasFetched());
    m_service->clearFaults();
    LineClient next;
    QVERIFY(next.connectGreeted(m_agent->pop3Port(), "+OK Zorvane Welcome\r\n"));
    QCOMPARE(next.command("USER user"), QByteArray("+OK password required\r\n"));
    QCOMPARE(next.command("PASS secret"), QByteArray("+OK logged in\r\n"));
    QVERIFY(next.command("STAT").startsWith("+OK 2 "));
    QCOMPARE(next.command("QUIT"), QByteArray("+OK\r\n"));
    QVERIFY(m_agent->stop());

    QVERIFY(!m_agent->standardOutput().contains(m_secret));
    QFile log(m_agent->logFilePath());
    QVERIFY(log.open(QIODevice::ReadOnly));
    QVERIFY(!log.readAll().contains(m_secret));
}

void tst_HostileXml::serviceRefusesHostileBodies_data()
{
    QTest::addColumn<QByteArray>("attack");
    QTest::addColumn<QByteArray>("verb");
    for (const QByteArray attack :
         {"file entity", "network entity", "external DTD", "parameter entity", "billion laughs", "quadratic blow-up"}) {
        QTest::newRow(("PROPFIND, " + attack).constData()) << attack << QByteArray("PROPFIND");
        QTest::newRow(("PROPPATCH, " + attack).constData()) << attack << QByteArray("PROPPATCH");
    }
}

void tst_HostileXml::serviceRefusesHostileBodies()
{
    QFETCH(QByteArray, attack);
    QFETCH(QByteArray, verb);

    ServiceProcess service(m_root->filePath(QStringLiteral("service")));
    QVERIFY(service.addAccount("demo@zorvane.test", "demo"));
    const QString name = service.deliver("demo@zorvane.test", "Subject: one\r\n\r\nOne.\r\n");
    QVERIFY(!name.isEmpty());
    QVERIFY2(service.start(), qPrintable(service.problem()));

    const Attack hostile = attackNamed(attack, m_secretFile, trapBase());
    const QByteArray body = verb == "PROPFIND"
        ? "<?xml version=\"1.0\"?>\n" + hostile.doctype + "\n<D:propfind xmlns:D=\"DAV:\"><D:prop><D:getcontentlength>"
            + hostile.use + "</D:getcontentlength></D:prop></D:propfind>"
        : "<?xml version=\"1.0\"?>\n" + hostile.doctype + "\n<D:propertyupdate " + Namespaces
            + "><D:set><D:prop><m:read>" + hostile.use + "</m:read></D:prop></D:set></D:propertyupdate>";
    const QString inbox =
        service.serviceUrl().replace(QStringLiteral("/dav/"), QStringLiteral("/mail/demo@zorvane.test/inbox/"));
    const QUrl target(verb == "PROPFIND" ? inbox : inbox + name.section(QLatin1Char(':'), 0, 0));

    QNetworkAccessManager network;
    const auto send = [&](const QByteArray &requestBody) {
        QNetworkRequest request(target);
        request.setRawHeader("Authorization", "Basic " + QByteArray("demo:demo").toBase64());
        request.setRawHeader("Depth", "1");
        request.setHeader(QNetworkRequest::ContentTypeHeader, "application/xml");
        std::unique_ptr<QNetworkReply> reply(network.sendCustomRequest(request, verb, requestBody));
        QSignalSpy finished(reply.get(), &QNetworkReply::finished);
        if (!reply->isFinished())
            finished.wait(60000);
        return QPair<int, QByteArray>(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(),
                                      reply->readAll());
    };

    const auto [status, answer] = send(body);
    QCOMPARE(status, 400);
    QVERIFY(!answer.contains(m_secret));
    QVERIFY(!trapWasFetched());
    // The message was not marked read by a refused update.
    QCOMPARE(service.files("demo@zorvane.test", QStringLiteral("new")).size(), 1);

    const QByteArray plain = verb == "PROPFIND"
        ? QByteArray("<?xml version=\"1.0\"?><D:propfind xmlns:D=\"DAV:\"><D:allprop/></D:propfind>")
        : "<?xml version=\"1.0\"?><D:propertyupdate " + Namespaces
            + "><D:set><D:prop><m:read>0</m:read></D:prop></D:set></D:propertyupdate>";
    QCOMPARE(send(plain).first, 207);
    QVERIFY(!service.output().contains(m_secret));
}

QTEST_GUILESS_MAIN(tst_HostileXml)
#include "tst_HostileXml.moc"
