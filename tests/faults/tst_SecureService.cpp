// The headless Zorvane program against zorvane-service serving HTTPS itself,
// with a test authority made at test time: trusted through CaCertificates
// the whole POP3 and SMTP dialogue works; a certificate that cannot be
// trusted is told by its own code and text in the POP3 reply, the SMTP
// side's log and the log file, and no request reaches the service. A login
// is never redirected out of TLS (a scripted service behind a TLS front
// gives that answer).

#include "AgentProcess.h"
#include "FakeHttpPeer.h"
#include "LineClient.h"
#include "MailTexts.h"
#include "ScriptedMailService.h"
#include "ServiceProcess.h"
#include "TestCertificates.h"
#include "TlsFront.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using Kind = ScriptedMailService::Kind;
using Server = TestCertificates::Server;

namespace {

const QByteArray Account = "user@zorvane.test";
const QByteArray SmallMessage = "From: Ann <ann@example.org>\r\nTo: user@zorvane.test\r\nSubject: small\r\n\r\n"
                                "first line\r\n.\r\nlast line\r\n";
const QByteArray LargeMessage = MailTexts::messageOfSize(60000, "large", ".\r\n");
const QByteArray Submitted = "From: user@zorvane.test\r\nTo: ann@example.org\r\nSubject: over TLS\r\n\r\nHello.\r\n";

QByteArray fileContent(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class tst_SecureService : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void privateAuthorityNamedInTheSettings();
    void untrustedCertificatesReachRepliesAndLogs_data();
    void untrustedCertificatesReachRepliesAndLogs();
    void loginIsNeverRedirectedOutOfTls();

private:
    // zorvane-service with this certificate, one account and two messages
    // in its inbox, and the agent pointed at it.
    void startSecureService(Server server, bool trustAuthority);
    void startAgent(const QString &serviceUrl, const QString &altServiceUrl, bool trustAuthority);

    TestCertificates m_certificates;
    std::unique_ptr<QTemporaryDir> m_root;
    std::unique_ptr<ServiceProcess> m_service;
    std::unique_ptr<AgentProcess> m_agent;
};

void tst_SecureService::initTestCase()
{
    QVERIFY2(m_certificates.create(), qPrintable(m_certificates.problem()));
}

void tst_SecureService::init()
{
    m_root = std::make_unique<QTemporaryDir>();
    QVERIFY(m_root->isValid());
}

void tst_SecureService::cleanup()
{
    if (m_service && QTest::currentTestFailed())
        qWarning().noquote() << "service output:\n" << m_service->output();
    m_agent.reset();
    m_service.reset();
    m_root.reset();
}

void tst_SecureService::startSecureService(Server server, bool trustAuthority)
{
    m_service = std::make_unique<ServiceProcess>(m_root->filePath(QStringLiteral("service")));
    QVERIFY(m_service->addAccount(Account, "secret"));
    QVERIFY(!m_service->deliver(Account, SmallMessage).isEmpty());
    QVERIFY(!m_service->deliver(Account, LargeMessage).isEmpty());
    m_service->setOptions({QStringLiteral("--tls-cert"), m_certificates.certificateFile(server),
                           QStringLiteral("--tls-key"), m_certificates.keyFile()});
    QVERIFY2(m_service->start(), qPrintable(m_service->problem()));
    QVERIFY(m_service->serviceUrl().startsWith(QLatin1String("https://127.0.0.1:")));
    startAgent(m_service->serviceUrl(), m_service->altServiceUrl(), trustAuthority);
}

void tst_SecureService::startAgent(const QString &serviceUrl, const QString &altServiceUrl, bool trustAuthority)
{
    QByteArray more = "ListUnreadOnly=0\nMarkReadOnServer=0\nDeleteOnServer=0\nSaveSentItems=0\nDebugMode=1\n";
    if (trustAuthority)
        more += "CaCertificates=" + m_certificates.authorityFile().toUtf8() + '\n';
    m_agent = std::make_unique<AgentProcess>(m_root->filePath(QStringLiteral("agent")));
    m_agent->writeSettings(serviceUrl, altServiceUrl, more);
    QVERIFY2(m_agent->start(), m_agent->standardError().constData());
}

void tst_SecureService::privateAuthorityNamedInTheSettings()
{
    startSecureService(Server::Valid, true);
    if (QTest::currentTestFailed())
        return;
    {
        LineClient client;
        client.logInPop(m_agent->pop3Port());
        QCOMPARE(client.command("STAT"),
                 "+OK 2 " + QByteArray::number(SmallMessage.size() + LargeMessage.size()) + "\r\n");
        const QList<QByteArray> inbox{SmallMessage, LargeMessage};
        for (qsizetype i = 0; i < inbox.size(); ++i) {
            const QByteArray &expected = inbox.at(i);
            client.send("RETR " + QByteArray::number(i + 1) + "\r\n");
            const auto [status, data] = MailTexts::splitStatus(client.readMultiLine());
            QCOMPARE(status, "+OK " + QByteArray::number(expected.size()) + "\r\n");
            const auto [text, terminated] = MailTexts::unstuffData(data);
            QVERIFY(terminated);
            QCOMPARE(text, expected);
        }
        QCOMPARE(client.command("QUIT"), QByteArray("+OK\r\n"));
        QVERIFY(client.waitForClose());
    }

    LineClient smtp;
    QVERIFY(smtp.connectGreeted(m_agent->smtpPort(), "220 Zorvane Simple Mail Transfer Service Ready\r\n"));
    QCOMPARE(smtp.command("HELO client.example.org"), QByteArray("250 Zorvane\r\n"));
    QCOMPARE(smtp.command("MAIL FROM:<user@zorvane.test>"), QByteArray("250 OK\r\n"));
    QCOMPARE(smtp.command("RCPT TO:<ann@example.org>"), QByteArray("250 OK\r\n"));
    QCOMPARE(smtp.command("DATA"), QByteArray("354 Start mail input; end with <CRLF>.<CRLF>\r\n"));
    smtp.send(Submitted + ".\r\n");
    QCOMPARE(smtp.readLine(), QByteArray("250 OK\r\n"));
    QCOMPARE(smtp.command("QUIT"), QByteArray("221 Zorvane bye.\r\n"));
    // Mail for another domain waits in the service's outbox.
    const QList<QByteArray> stored = m_service->outboxMessages();
    QCOMPARE(stored.size(), 1);
    QVERIFY(stored.first().endsWith(Submitted));
    QVERIFY(m_service->requestLines().contains("PROPFIND /dav/ 207"));
}

void tst_SecureService::untrustedCertificatesReachRepliesAndLogs_data()
{
    QTest::addColumn<int>("server");
    QTest::addColumn<bool>("trustAuthority");
    QTest::addColumn<QByteArray>("problem");

    QTest::newRow("private authority not named")
        << int(Server::Valid) << false
        << QByteArray("22045, 12045 - The certificate authority is invalid or incorrect.");
    QTest::newRow("unknown authority") << int(Server::UnknownIssuer) << true
                                       << QByteArray(
                                              "22045, 12045 - The certificate authority is invalid or incorrect.");
    QTest::newRow("expired") << int(Server::Expired) << true
                             << QByteArray("22037, 12037 - The date in the certificate is invalid or has expired.");
    QTest::newRow("another name")
        << int(Server::WrongName) << true
        << QByteArray("22038, 12038 - The host name in the certificate is invalid or does not match.");
}

void tst_SecureService::untrustedCertificatesReachRepliesAndLogs()
{
    QFETCH(int, server);
    QFETCH(bool, trustAuthority);
    QFETCH(QByteArray, problem);

    startSecureService(Server(server), trustAuthority);
    if (QTest::currentTestFailed())
        return;
    const QByteArray communicationError = "Communication error: " + problem;

    LineClient pop;
    QVERIFY(pop.connectGreeted(m_agent->pop3Port(), "+OK Zorvane Welcome\r\n"));
    QCOMPARE(pop.command("USER user"), "-ERR " + communicationError + "\r\n");
    QCOMPARE(pop.command("QUIT"), QByteArray("+OK\r\n"));

    LineClient smtp;
    QVERIFY(smtp.connectGreeted(m_agent->smtpPort(), "220 Zorvane Simple Mail Transfer Service Ready\r\n"));
    QCOMPARE(smtp.command("HELO client.example.org"),
             QByteArray("550 Requested action not taken: mailbox unavailable\r\n"));
    QVERIFY(m_agent->waitForOutput("SMTP-ERR: Unable to connect to Hotmail server."));
    // The reason is in the agent's own log, on the screen and in the file.
    QVERIFY(m_agent->standardOutput().contains(communicationError));
    QTRY_VERIFY(fileContent(m_agent->logFilePath()).contains(communicationError));
    // Nothing of any request reached the service.
    QCOMPARE(m_service->requestLines(), QList<QByteArray>());
}

// A login over https answered 900 with an http address: the credentials
// would leave TLS, so the login fails there and the log says why.
void tst_SecureService::loginIsNeverRedirectedOutOfTls()
{
    ScriptedMailService service;
    QVERIFY(service.listen());
    TlsFront front;
    QVERIFY2(
        front.start(m_certificates.certificateFile(Server::Valid), m_certificates.keyFile(), service.peer().port()),
        qPrintable(front.problem()));
    service.setPublicUrl(front.url(QString()));
    FakeHttpPeer plain;
    QVERIFY(plain.listen());
    plain.setResponder([](const FakeHttpPeer::Request &) { return FakeHttpPeer::reply(207, "Multi-Status", "<a/>"); });
    const QByteArray elsewhere = plain.url("/dav/").toUtf8();
    service.setFault(
        Kind::Login,
        FakeHttpPeer::raw("HTTP/1.1 900 Elsewhere\r\nLocation: " + elsewhere + "\r\nContent-Length: 0\r\n\r\n"));
    startAgent(service.serviceUrl(), service.altServiceUrl(), true);
    if (QTest::currentTestFailed())
        return;

    LineClient client;
    QVERIFY(client.connectGreeted(m_agent->pop3Port(), "+OK Zorvane Welcome\r\n"));
    QCOMPARE(client.command("USER user"), QByteArray("+OK password required\r\n"));
    QCOMPARE(client.command("PASS secret"), QByteArray("-ERR Login failure 900\r\n"));
    QVERIFY(m_agent->waitForOutput("ERR: Login redirected from https to http refused: " + elsewhere));
    QCOMPARE(service.requestCount(Kind::Login), 1);
    QCOMPARE(plain.requests().size(), 0);
    m_agent.reset(); // before the service and the front it talks to
}

QTEST_GUILESS_MAIN(tst_SecureService)
#include "tst_SecureService.moc"
