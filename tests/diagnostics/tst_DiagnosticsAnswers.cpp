// The request part of a run against scripted peers: the answer in the
// report, the verdicts, the proxy line, silence, refusal, unusable
// addresses, and what a click or a close does while the run waits.

#include "DiagnosticsTestEnvironment.h"
#include "FakeHttpPeer.h"
#include "TestCertificates.h"
#include "TlsFront.h"

#include <QApplication>
#include <QFile>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

namespace {

const QString CrLf = QStringLiteral("\r\n");
const QString ConnectionErrorHead = QStringLiteral("Connection attempt unsuccessful:\r\n");
const QString ComponentErrorHead = QStringLiteral("Internet Explorer 5 DLLs not working as expected:\r\n");
constexpr int ShortWaitMs = 2; // the wait for an answer, shortened for silent peers

} // namespace

class DiagnosticsAnswersTest : public QObject
{
    Q_OBJECT

public:
    static void initMain() { TestEnvironment(); }

private slots:
    void answerIsReportedAndJudged_data();
    void answerIsReportedAndJudged();
    void silentServiceTimesOutAfterThreeHundredAndOneWaits();
    void refusedConnectionIsAConnectionError();
    void unusableAddressIsAComponentError_data();
    void unusableAddressIsAComponentError();
    void closingTheWindowEndsTheWait();
    void clickDuringTheWaitRunsInsideTheFirstRun();
    void secureServiceIsJudgedWithTheAgentsAuthorities_data();
    void secureServiceIsJudgedWithTheAgentsAuthorities();

private:
    // Settings with free ports and the service at this address.
    void UseService(const QString &serviceUrl)
    {
        m_environment.WritePreferences({{QStringLiteral("Pop3Port"), QString::number(TestPorts::Free())},
                                        {QStringLiteral("SmtpPort"), QString::number(TestPorts::Free())},
                                        {QStringLiteral("ServiceUrl"), serviceUrl}});
    }

    DiagnosticsTestEnvironment &m_environment = TestEnvironment();
    TestCertificates m_certificates;
};

void DiagnosticsAnswersTest::answerIsReportedAndJudged_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("reason");
    QTest::addColumn<QByteArray>("via");
    QTest::addColumn<QString>("expectedVerdict");
    QTest::addColumn<bool>("generalHelp");

    const QString success = QStringLiteral("Connection attempt successful.");
    const QByteArray proxy = "1.1 gateway.example (Squid/5.7)";
    const QString proxyLine = CrLf + QStringLiteral("Proxy server is:") + CrLf + QString::fromLatin1(proxy);
    QTest::newRow("207") << 207 << QByteArray("Multi-Status") << QByteArray() << success << false;
    QTest::newRow("207 through a proxy") << 207 << QByteArray("Multi-Status") << proxy << success + proxyLine << false;
    QTest::newRow("900") << 900 << QByteArray("Unknown") << QByteArray() << success << false;
    QTest::newRow("400") << 400 << QByteArray("Bad Request") << QByteArray()
                         << QStringLiteral("400-Command not understood by firewall or proxy server.") << true;
    QTest::newRow("401") << 401 << QByteArray("Unauthorized") << QByteArray()
                         << QStringLiteral("401-Access denied by Hotmail server.") << true;
    QTest::newRow("403 through a proxy") << 403 << QByteArray("Forbidden") << proxy
                                         << QStringLiteral("403-Command blocked by firewall or proxy server.")
            + proxyLine << true;
    QTest::newRow("500 through a proxy") << 500 << QByteArray("Internal Server Error") << proxy << proxyLine << true;
    QTest::newRow("503") << 503 << QByteArray("Service Unavailable") << QByteArray() << QString() << true;
}

void DiagnosticsAnswersTest::answerIsReportedAndJudged()
{
    QFETCH(int, status);
    QFETCH(QByteArray, reason);
    QFETCH(QByteArray, via);
    QFETCH(QString, expectedVerdict);
    QFETCH(bool, generalHelp);

    FakeHttpPeer peer;
    QVERIFY(peer.listen());
    FakeHttpPeer::Headers headers{{"Content-Type", "text/plain"}, {"X-Probe-Answer", "yes"}};
    if (!via.isEmpty())
        headers.append({"Via", via});
    // A refusal that asks again is answered the same way, however often.
    peer.setResponder(
        [=](const FakeHttpPeer::Request &) { return FakeHttpPeer::reply(status, reason, "body", headers); });
    UseService(peer.url(QStringLiteral("/dav/")));

    Diagnostics form;
    HelpPageRecorder browser(form);
    form.SetText1(QStringLiteral("tester"));
    form.SetText2(QStringLiteral("secret"));
    form.Command1()->click();

    QVERIFY(peer.requests().size() >= 1);
    const FakeHttpPeer::Request request = peer.requests().first();
    QCOMPARE(request.verb, QByteArray("PROPFIND"));
    QCOMPARE(request.target, QByteArray("/dav/"));

    const QString report = form.Text3();
    QVERIFY2(report.contains(QStringLiteral("\r\nRequesting information.\r\nCommunicating .")), qPrintable(report));
    const QString statusLine =
        CrLf + CrLf + QString::number(status) + QStringLiteral(" - ") + QString::fromLatin1(reason) + CrLf + CrLf;
    const qsizetype statusAt = report.indexOf(statusLine);
    QVERIFY2(statusAt > 0, qPrintable(report));
    const QString headerBlock = report.mid(statusAt + statusLine.size());
    QVERIFY2(headerBlock.contains(QStringLiteral("X-Probe-Answer: yes\r\n")), qPrintable(headerBlock));
    if (!via.isEmpty())
        QVERIFY(headerBlock.contains(QStringLiteral("Via: ") + QString::fromLatin1(via)));

    QCOMPARE(form.Text4(), expectedVerdict);
    if (generalHelp)
        QVERIFY(browser.Opened(HelpPages::General));
    else
        QVERIFY(browser.pages.isEmpty());
}

void DiagnosticsAnswersTest::silentServiceTimesOutAfterThreeHundredAndOneWaits()
{
    FakeHttpPeer peer;
    QVERIFY(peer.listen());
    peer.setResponder([](const FakeHttpPeer::Request &) { return FakeHttpPeer::silence(); });
    UseService(peer.url(QStringLiteral("/dav/")));

    Diagnostics form;
    form.SetWaitIntervalMs(ShortWaitMs);
    HelpPageRecorder browser(form);
    form.Command1()->click();

    const QString dots(Diagnostics::MaxAnswerWaits + 1, QLatin1Char('.'));
    QVERIFY2(form.Text3().endsWith(QStringLiteral("\r\nRequesting information.\r\nCommunicating ") + dots),
             qPrintable(form.Text3().right(80)));
    QCOMPARE(form.Text4(), QStringLiteral("Timeout waiting for response."));
    QVERIFY(browser.pages.isEmpty());
    QCOMPARE(peer.requests().size(), 1);
    // The request given up is not left hanging on the service.
    QTRY_COMPARE(peer.openConnectionCount(), 0);
}

void DiagnosticsAnswersTest::refusedConnectionIsAConnectionError()
{
    UseService(QStringLiteral("http://127.0.0.1:%1/dav/").arg(TestPorts::Free()));

    Diagnostics form;
    HelpPageRecorder browser(form);
    form.Command1()->click();

    QCOMPARE(form.Text4(), ConnectionErrorHead + QStringLiteral("2EFD The attempt to connect to the server failed."));
    QVERIFY(browser.Opened(HelpPages::Connection));
    QVERIFY(form.Text3().contains(QStringLiteral("\r\nRequesting information.\r\nCommunicating ")));
    QVERIFY(!form.Text3().contains(QStringLiteral(" - ")));
}

void DiagnosticsAnswersTest::unusableAddressIsAComponentError_data()
{
    QTest::addColumn<QString>("serviceUrl");
    QTest::addColumn<QString>("expectedVerdict");
    QTest::newRow("not an address") << "not an address"
                                    << ComponentErrorHead + QStringLiteral("2EE5 The URL is invalid.");
    QTest::newRow("another scheme") << "ftp://127.0.0.1/dav/"
                                    << ComponentErrorHead
            + QStringLiteral("2EE6 The URL scheme could not be recognized, or is not supported.");
}

void DiagnosticsAnswersTest::unusableAddressIsAComponentError()
{
    QFETCH(QString, serviceUrl);
    QFETCH(QString, expectedVerdict);
    UseService(serviceUrl);

    Diagnostics form;
    HelpPageRecorder browser(form);
    form.Command1()->click();

    QCOMPARE(form.Text4(), expectedVerdict);
    QVERIFY(browser.Opened(HelpPages::HttpComponent));
    QVERIFY(!form.Text3().contains(QStringLiteral("Communicating")));
    QCOMPARE(PortLines(form.Text3()).size(), 2);
}

void DiagnosticsAnswersTest::closingTheWindowEndsTheWait()
{
    FakeHttpPeer peer;
    QVERIFY(peer.listen());
    peer.setResponder([](const FakeHttpPeer::Request &) { return FakeHttpPeer::silence(); });
    UseService(peer.url(QStringLiteral("/dav/")));

    Diagnostics form;
    HelpPageRecorder browser(form);
    // Closes the window once the request reached the silent service.
    connect(&peer, &FakeHttpPeer::requestReceived, &form, [&form] { form.close(); });
    form.Command1()->click();

    QCOMPARE(form.RunsInProgress(), 0);
    QVERIFY(form.Text3().contains(QStringLiteral("Communicating ")));
    QVERIFY(!form.Text3().endsWith(QString(Diagnostics::MaxAnswerWaits + 1, QLatin1Char('.'))));
    QCOMPARE(form.Text4(), QString());
    QVERIFY(browser.pages.isEmpty());
}

void DiagnosticsAnswersTest::clickDuringTheWaitRunsInsideTheFirstRun()
{
    // The first request meets silence; the second, made by the click during
    // the first run's wait, gets 207.
    FakeHttpPeer peer;
    QVERIFY(peer.listen());
    peer.enqueue(FakeHttpPeer::silence());
    peer.setResponder(
        [](const FakeHttpPeer::Request &) { return FakeHttpPeer::reply(207, "Multi-Status", "<multistatus/>"); });
    UseService(peer.url(QStringLiteral("/dav/")));

    Diagnostics form;
    form.SetWaitIntervalMs(ShortWaitMs);
    HelpPageRecorder browser(form);
    QSignalSpy finished(&form, &Diagnostics::RunFinished);
    int runsSeenByTheSecondClick = 0;
    connect(&peer, &FakeHttpPeer::requestReceived, &form, [&](int index) {
        if (index == 0) {
            runsSeenByTheSecondClick = form.RunsInProgress();
            form.Command1()->click();
        }
    });
    form.Command1()->click();

    QCOMPARE(runsSeenByTheSecondClick, 1);
    QCOMPARE(finished.count(), 2);
    QCOMPARE(form.RunsInProgress(), 0);
    QCOMPARE(peer.requests().size(), 2);
    // The inner run reported its 207 and the outer one, still waiting on
    // silence, went on adding dots until it gave up.
    QVERIFY(form.Text3().contains(QStringLiteral("\r\n\r\n207 - Multi-Status\r\n\r\n")));
    QVERIFY(form.Text3().endsWith(QLatin1Char('.')));
    QCOMPARE(form.Text4(), QStringLiteral("Timeout waiting for response."));
    QVERIFY(browser.pages.isEmpty());
}

void DiagnosticsAnswersTest::secureServiceIsJudgedWithTheAgentsAuthorities_data()
{
    QTest::addColumn<int>("server");
    QTest::addColumn<bool>("trustAuthority");
    QTest::addColumn<QString>("expectedVerdict");
    QTest::addColumn<QString>("certificateLines"); // under the report

    const QString validCertificate = QStringLiteral("Server certificate:\r\nSubject: CN=127.0.0.1\r\n"
                                                    "Issuer: CN=Zorvane Test Authority\r\n"
                                                    "Valid from 2020-01-01 00:00:00 UTC to 2099-12-31 00:00:00 UTC");
    QTest::newRow("named in CaCertificates") << int(TestCertificates::Server::Valid) << true
                                             << QStringLiteral("Connection attempt successful.") << validCertificate;
    QTest::newRow("private authority not named")
        << int(TestCertificates::Server::Valid) << false
        << ConnectionErrorHead + QStringLiteral("2F0D The certificate authority is invalid or incorrect.")
        << validCertificate;
    QTest::newRow("expired") << int(TestCertificates::Server::Expired) << true
                             << ConnectionErrorHead
            + QStringLiteral("2F05 The date in the certificate is invalid or has expired.")
                             << QStringLiteral("Server certificate:\r\nSubject: CN=127.0.0.1\r\n"
                                               "Issuer: CN=Zorvane Test Authority\r\n"
                                               "Valid from 2020-01-01 00:00:00 UTC to 2020-02-01 00:00:00 UTC");
    QTest::newRow("another name") << int(TestCertificates::Server::WrongName) << true
                                  << ConnectionErrorHead
            + QStringLiteral("2F06 The host name in the certificate is invalid or does not match.")
                                  << validCertificate;
}

// An https service is trusted as the agent trusts it (the system's store and
// CaCertificates); a certificate that is not trusted is named in the verdict.
// Either way the certificate is described under the report.
void DiagnosticsAnswersTest::secureServiceIsJudgedWithTheAgentsAuthorities()
{
    QFETCH(int, server);
    QFETCH(bool, trustAuthority);
    QFETCH(QString, expectedVerdict);
    QFETCH(QString, certificateLines);

    if (!QFile::exists(m_certificates.authorityFile()))
        QVERIFY2(m_certificates.create(), qPrintable(m_certificates.problem()));
    FakeHttpPeer peer;
    QVERIFY(peer.listen());
    peer.setResponder([](const FakeHttpPeer::Request &) { return FakeHttpPeer::reply(207, "Multi-Status", "<a/>"); });
    TlsFront front;
    QVERIFY2(front.start(m_certificates.certificateFile(TestCertificates::Server(server)), m_certificates.keyFile(),
                         peer.port()),
             qPrintable(front.problem()));
    QMap<QString, QString> preferences{{QStringLiteral("Pop3Port"), QString::number(TestPorts::Free())},
                                       {QStringLiteral("SmtpPort"), QString::number(TestPorts::Free())},
                                       {QStringLiteral("ServiceUrl"), front.url(QStringLiteral("/dav/"))}};
    if (trustAuthority)
        preferences.insert(QStringLiteral("CaCertificates"), m_certificates.authorityFile());
    m_environment.WritePreferences(preferences);

    Diagnostics form;
    HelpPageRecorder browser(form);
    form.Command1()->click();

    QCOMPARE(form.Text4(), expectedVerdict);
    QVERIFY2(form.Text3().endsWith(QStringLiteral("\r\n\r\n") + certificateLines), qPrintable(form.Text3()));
    if (trustAuthority && server == int(TestCertificates::Server::Valid)) {
        // Below the answer's status and headers.
        QVERIFY2(form.Text3().contains(QStringLiteral("\r\n\r\n207 - Multi-Status\r\n\r\n")), qPrintable(form.Text3()));
        QVERIFY(browser.pages.isEmpty());
        QCOMPARE(peer.requests().size(), 1);
        return;
    }
    QVERIFY(browser.Opened(HelpPages::Connection));
    QCOMPARE(peer.requests().size(), 0);
}

QTEST_MAIN(DiagnosticsAnswersTest)
#include "tst_DiagnosticsAnswers.moc"
