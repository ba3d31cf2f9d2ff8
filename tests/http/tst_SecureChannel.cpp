#include "FakeHttpPeer.h"
#include "TestCertificates.h"
#include "TlsFront.h"
#include "XmlHttpRequest.h"

#include <QFile>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimeZone>

using Server = TestCertificates::Server;

// The request component over TLS, against a plain scripted peer behind a
// TLS front: trust through the system's store and CaCertificates only, each
// certificate problem under its own code with the certificate described,
// and nothing of a request sent over a channel that was not trusted.
class tst_SecureChannel : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void privateAuthorityIsTrustedOnlyWhenNamed();
    void certificateProblemsHaveTheirOwnCodes_data();
    void certificateProblemsHaveTheirOwnCodes();
    void plainServerBehindHttpsAddress();
    void unusableAuthorityFileTrustsNothing();

private:
    // A scripted service that answers 207 to everything, behind a TLS front
    // with the certificate given.
    void startService(FakeHttpPeer &peer, TlsFront &front, Server server);

    TestCertificates m_certificates;
};

namespace {

bool completes(XmlHttpRequest &request)
{
    QSignalSpy changes(&request, &XmlHttpRequest::readyStateChanged);
    while (request.readyState() != 4) {
        if (!changes.wait(15000))
            return false;
    }
    return true;
}

int statusOf(const QString &url, bool async, ServerCertificate *certificate = nullptr)
{
    XmlHttpRequest request;
    request.open("PROPFIND", url, async, QStringLiteral("ann@zorvane.test"), QStringLiteral("pw"));
    request.send();
    if (!completes(request))
        return -1;
    if (certificate)
        *certificate = request.serverCertificate();
    return request.status();
}

} // namespace

void tst_SecureChannel::initTestCase()
{
    QVERIFY2(m_certificates.create(), qPrintable(m_certificates.problem()));
}

void tst_SecureChannel::init()
{
    QCOMPARE(XmlHttpRequest::trustCertificateAuthorities(QString()), XmlHttpRequest::TrustOutcome::Trusted);
}

void tst_SecureChannel::cleanupTestCase()
{
    XmlHttpRequest::trustCertificateAuthorities(QString());
}

void tst_SecureChannel::startService(FakeHttpPeer &peer, TlsFront &front, Server server)
{
    QVERIFY(peer.listenInOwnThread());
    peer.setResponder([](const FakeHttpPeer::Request &) { return FakeHttpPeer::reply(207, "Multi-Status", "inbox"); });
    QVERIFY2(front.start(m_certificates.certificateFile(server), m_certificates.keyFile(), peer.port()),
             qPrintable(front.problem()));
}

void tst_SecureChannel::privateAuthorityIsTrustedOnlyWhenNamed()
{
    FakeHttpPeer peer;
    TlsFront front;
    startService(peer, front, Server::Valid);
    if (QTest::currentTestFailed())
        return;

    // The system's store alone does not know the test authority.
    QCOMPARE(statusOf(front.url("/dav/"), true), 12045);
    QCOMPARE(peer.requests().size(), 0);

    QCOMPARE(XmlHttpRequest::trustCertificateAuthorities(m_certificates.authorityFile()),
             XmlHttpRequest::TrustOutcome::Trusted);
    for (const bool async : {true, false, true}) {
        ServerCertificate certificate;
        QCOMPARE(statusOf(front.url("/dav/"), async, &certificate), 207);
        // Each answer tells the certificate of its channel, whether the
        // channel was opened for it or kept from the request before.
        QCOMPARE(certificate.subject, QStringLiteral("CN=127.0.0.1"));
        QCOMPARE(certificate.issuer, QStringLiteral("CN=Zorvane Test Authority"));
        QCOMPARE(certificate.validUntil, QDateTime(QDate(2099, 12, 31), QTime(0, 0), QTimeZone::utc()));
    }
    // Every request went over the one secure connection, awaited or blocking.
    QCOMPARE(peer.requests().size(), 3);
    QCOMPARE(peer.connectionCount(), 1);
    QCOMPARE(peer.requests().last().target, QByteArray("/dav/"));

    // A plain answer has no certificate to tell.
    ServerCertificate none;
    QCOMPARE(statusOf(peer.url("/dav/"), true, &none), 207);
    QVERIFY(none.isNull());
}

void tst_SecureChannel::certificateProblemsHaveTheirOwnCodes_data()
{
    QTest::addColumn<int>("server"); // a TestCertificates::Server
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("subject");
    QTest::addColumn<QString>("issuer");
    QTest::addColumn<QDateTime>("validUntil");

    const QDateTime longAfter(QDate(2099, 12, 31), QTime(0, 0), QTimeZone::utc());
    QTest::newRow("unknown authority") << int(Server::UnknownIssuer) << 12045 << QStringLiteral("CN=127.0.0.1")
                                       << QStringLiteral("CN=Unknown Test Authority") << longAfter;
    QTest::newRow("expired") << int(Server::Expired) << 12037 << QStringLiteral("CN=127.0.0.1")
                             << QStringLiteral("CN=Zorvane Test Authority")
                             << QDateTime(QDate(2020, 2, 1), QTime(0, 0), QTimeZone::utc());
    QTest::newRow("another name") << int(Server::WrongName) << 12038 << QStringLiteral("CN=127.0.0.1")
                                  << QStringLiteral("CN=Zorvane Test Authority") << longAfter;
}

void tst_SecureChannel::certificateProblemsHaveTheirOwnCodes()
{
    QFETCH(int, server);
    QFETCH(int, code);
    QFETCH(QString, subject);
    QFETCH(QString, issuer);
    QFETCH(QDateTime, validUntil);

    QCOMPARE(XmlHttpRequest::trustCertificateAuthorities(m_certificates.authorityFile()),
             XmlHttpRequest::TrustOutcome::Trusted);
    FakeHttpPeer peer;
    TlsFront front;
    startService(peer, front, Server(server));
    if (QTest::currentTestFailed())
        return;
    const QString url = front.url("/dav/");

    for (const bool async : {true, false}) {
        XmlHttpRequest request;
        request.open("PROPFIND", url, async, QStringLiteral("ann@zorvane.test"), QStringLiteral("pw"));
        request.setRequestHeader("Depth", "0");
        request.send();
        QVERIFY(completes(request));
        QCOMPARE(request.status(), code);
        QCOMPARE(request.statusText(), QByteArray());
        QCOMPARE(request.responseText(), QByteArray());
        const ServerCertificate certificate = request.serverCertificate();
        QCOMPARE(certificate.subject, subject);
        QCOMPARE(certificate.issuer, issuer);
        QCOMPARE(certificate.validUntil, validUntil);
        QCOMPARE(certificate.validFrom, QDateTime(QDate(2020, 1, 1), QTime(0, 0), QTimeZone::utc()));
    }
    // Neither the request nor the credentials left over a channel not trusted.
    QCOMPARE(peer.requests().size(), 0);
}

// An https address whose server speaks plain HTTP: no secure channel.
void tst_SecureChannel::plainServerBehindHttpsAddress()
{
    QTcpServer plain;
    QVERIFY(plain.listen(QHostAddress::LocalHost, 0));
    connect(&plain, &QTcpServer::newConnection, this, [&plain] {
        QTcpSocket *connection = plain.nextPendingConnection();
        connection->write("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n");
        connection->disconnectFromHost();
    });
    XmlHttpRequest request;
    request.open("PROPFIND", QStringLiteral("https://127.0.0.1:%1/dav/").arg(plain.serverPort()), true);
    request.send();
    QVERIFY(completes(request));
    QCOMPARE(request.status(), 12157);
    QVERIFY(request.serverCertificate().isNull());
}

// A CaCertificates file that cannot be used makes every secure channel fail
// instead of quietly trusting the system's store alone.
void tst_SecureChannel::unusableAuthorityFileTrustsNothing()
{
    FakeHttpPeer peer;
    TlsFront front;
    startService(peer, front, Server::Valid);
    if (QTest::currentTestFailed())
        return;

    QCOMPARE(XmlHttpRequest::trustCertificateAuthorities(m_certificates.path("missing.pem")),
             XmlHttpRequest::TrustOutcome::Unreadable);
    QCOMPARE(statusOf(front.url("/dav/"), true), 12157);

    QFile notPem(m_certificates.path("not-a-certificate.pem"));
    QVERIFY(notPem.open(QIODevice::WriteOnly));
    notPem.write("just text\n");
    notPem.close();
    QCOMPARE(XmlHttpRequest::trustCertificateAuthorities(notPem.fileName()),
             XmlHttpRequest::TrustOutcome::NoCertificate);
    QCOMPARE(statusOf(front.url("/dav/"), false), 12157);
    QCOMPARE(peer.requests().size(), 0);

    // Named again, the authority is trusted again.
    QCOMPARE(XmlHttpRequest::trustCertificateAuthorities(m_certificates.authorityFile()),
             XmlHttpRequest::TrustOutcome::Trusted);
    QCOMPARE(statusOf(front.url("/dav/"), true), 207);
}

QTEST_GUILESS_MAIN(tst_SecureChannel)
#include "tst_SecureChannel.moc"
