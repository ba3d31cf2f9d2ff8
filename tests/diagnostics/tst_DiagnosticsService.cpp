// Runs against the reference service: the verdicts for accepted and refused
// credentials, one run after another in the same program, and the program
// itself run without a display.

#include "AgentProcess.h"
#include "DiagnosticsTestEnvironment.h"
#include "ServiceProcess.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTcpSocket>
#include <QTest>

namespace {

const QString Success = QStringLiteral("Connection attempt successful.");
const QString AccessDenied = QStringLiteral("401-Access denied by Hotmail server.");

QString ProgramPath(const QString &name)
{
    return QDir(qEnvironmentVariable("ZORVANE_BIN_DIR")).filePath(name);
}

// The first line a client connecting to the port receives.
QByteArray GreetingAt(quint16 port)
{
    QTcpSocket client;
    client.connectToHost(QHostAddress(QHostAddress::LocalHost), port);
    while (client.state() != QAbstractSocket::UnconnectedState && !client.canReadLine()
           && client.waitForReadyRead(10000)) { }
    return client.canReadLine() ? client.readLine() : QByteArray();
}

} // namespace

class DiagnosticsServiceTest : public QObject
{
    Q_OBJECT

public:
    static void initMain() { TestEnvironment(); }

private slots:
    void initTestCase();
    void credentialsAreJudgedByTheService_data();
    void credentialsAreJudgedByTheService();
    void eachRunUsesItsOwnCredentials();
    void emptyUserNameIsNotAnsweredWithEarlierCredentials();
    void programWithoutDisplayReportsOnItsOutput();
    void programWithoutDisplayTestsTheNamedUser_data();
    void programWithoutDisplayTestsTheNamedUser();
    void portsOfTheRunningAgentAreNamed();

private:
    Diagnostics *NewForm()
    {
        auto *form = new Diagnostics;
        m_browser.pages.clear();
        m_browser.AttachTo(*form);
        return form;
    }
    void UseTheService()
    {
        m_settingsFile =
            m_environment.WritePreferences({{QStringLiteral("Pop3Port"), QString::number(TestPorts::Free())},
                                            {QStringLiteral("SmtpPort"), QString::number(TestPorts::Free())},
                                            {QStringLiteral("ServiceUrl"), m_service.serviceUrl()}});
    }

    DiagnosticsTestEnvironment &m_environment = TestEnvironment();
    ServiceProcess m_service{QDir(m_environment.Path()).filePath(QStringLiteral("service"))};
    HelpPageRecorder m_browser;
    QString m_settingsFile;
};

void DiagnosticsServiceTest::initTestCase()
{
    QVERIFY(QFile::exists(ProgramPath(QStringLiteral("zorvane-service"))));
    QVERIFY(m_service.addAccount(QStringLiteral("demo@zorvane.test"), QStringLiteral("demo")));
    QVERIFY2(m_service.start(), qPrintable(m_service.problem()));
}

void DiagnosticsServiceTest::credentialsAreJudgedByTheService_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("verdict");
    QTest::newRow("the test account") << "demo"
                                      << "demo" << 207 << Success;
    QTest::newRow("its full address") << "demo@zorvane.test"
                                      << "demo" << 207 << Success;
    QTest::newRow("wrong password") << "demo"
                                    << "wrong" << 401 << AccessDenied;
    QTest::newRow("unknown account") << "nobody"
                                     << "demo" << 401 << AccessDenied;
}

void DiagnosticsServiceTest::credentialsAreJudgedByTheService()
{
    QFETCH(QString, user);
    QFETCH(QString, password);
    QFETCH(int, status);
    QFETCH(QString, verdict);
    UseTheService();

    const std::unique_ptr<Diagnostics> form(NewForm());
    form->SetText1(user);
    form->SetText2(password);
    form->Command1()->click();

    const QString report = form->Text3();
    QVERIFY2(report.contains(QStringLiteral("\r\nRequesting information.\r\nCommunicating .")), qPrintable(report));
    const QString statusLine = QStringLiteral("\r\n\r\n%1 - ").arg(status);
    const qsizetype statusAt = report.indexOf(statusLine);
    QVERIFY2(statusAt > 0, qPrintable(report));
    // The status text, an empty line, then the headers as the service sent them.
    const QString answer = report.mid(statusAt + statusLine.size());
    QVERIFY2(answer.indexOf(QStringLiteral("\r\n\r\n")) > 0, qPrintable(answer));
    QVERIFY2(answer.contains(QStringLiteral("Content-Type: "), Qt::CaseInsensitive), qPrintable(answer));
    QCOMPARE(form->Text4(), verdict);
    if (status == 207)
        QVERIFY(m_browser.pages.isEmpty());
    else
        QVERIFY(m_browser.Opened(HelpPages::General));
}

// Credentials that worked once must not answer for the next run's.
void DiagnosticsServiceTest::eachRunUsesItsOwnCredentials()
{
    UseTheService();
    const std::unique_ptr<Diagnostics> form(NewForm());
    const QList<QPair<QString, QString>> runs{
        {QStringLiteral("wrong"), AccessDenied},
        {QStringLiteral("demo"), Success},
        {QStringLiteral("wrong"), AccessDenied},
        {QStringLiteral("demo"), Success},
    };
    for (const auto &[password, verdict] : runs) {
        form->SetText2(password);
        form->Command1()->click();
        QCOMPARE(form->Text4(), verdict);
        QCOMPARE(ReportLines(form->Text3()).count(QStringLiteral("Requesting information.")), 1);
    }
}

void DiagnosticsServiceTest::emptyUserNameIsNotAnsweredWithEarlierCredentials()
{
    UseTheService();
    const std::unique_ptr<Diagnostics> form(NewForm());
    form->Command1()->click();
    QCOMPARE(form->Text4(), Success);

    form->SetText1(QString());
    form->SetText2(QString());
    form->Command1()->click();
    QCOMPARE(form->Text4(), AccessDenied);
}

void DiagnosticsServiceTest::programWithoutDisplayReportsOnItsOutput()
{
    UseTheService();
    QProcess program;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    program.setProcessEnvironment(environment);
    program.start(ProgramPath(QStringLiteral("Zorvane_Diagnostics")), {});
    QVERIFY(program.waitForFinished(60000));
    const QString output = QString::fromLocal8Bit(program.readAllStandardOutput());
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QVERIFY2(output.contains(QStringLiteral("\nSocket Library initialized.\n")), qPrintable(output));
    QVERIFY2(output.contains(QStringLiteral("\n207 - ")), qPrintable(output));
    QVERIFY2(output.trimmed().endsWith(Success), qPrintable(output));
    QCOMPARE(program.exitCode(), 0);
    QVERIFY(!output.contains(QStringLiteral("Help: ")));
}

void DiagnosticsServiceTest::programWithoutDisplayTestsTheNamedUser_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("verdict");
    QTest::newRow("its password") << QStringList{QStringLiteral("--user"), QStringLiteral("demo@zorvane.test")}
                                  << QByteArray("demo\n") << 0 << Success;
    QTest::newRow("no line end, joined form")
        << QStringList{QStringLiteral("--user=demo")} << QByteArray("demo") << 0 << Success;
    QTest::newRow("CR LF line end") << QStringList{QStringLiteral("--user"), QStringLiteral("demo")}
                                    << QByteArray("demo\r\nmore\n") << 0 << Success;
    QTest::newRow("a wrong password") << QStringList{QStringLiteral("--user"), QStringLiteral("demo")}
                                      << QByteArray("guess\n") << 1 << AccessDenied;
    QTest::newRow("another account") << QStringList{QStringLiteral("--user"), QStringLiteral("nobody")}
                                     << QByteArray("demo\n") << 1 << AccessDenied;
}

// The password comes from standard input, never from the command line.
void DiagnosticsServiceTest::programWithoutDisplayTestsTheNamedUser()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, input);
    QFETCH(int, exitCode);
    QFETCH(QString, verdict);
    UseTheService();
    QProcess program;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    program.setProcessEnvironment(environment);
    program.start(ProgramPath(QStringLiteral("Zorvane_Diagnostics")), arguments);
    QVERIFY(program.waitForStarted(30000));
    program.write(input);
    program.closeWriteChannel();
    QVERIFY(program.waitForFinished(60000));
    const QString output = QString::fromLocal8Bit(program.readAllStandardOutput());
    QVERIFY2(output.contains(QLatin1Char('\n') + verdict + QLatin1Char('\n')), qPrintable(output));
    QCOMPARE(program.exitCode(), exitCode);

    QProcess withoutName;
    withoutName.setProcessEnvironment(environment);
    withoutName.start(ProgramPath(QStringLiteral("Zorvane_Diagnostics")), {QStringLiteral("--user")});
    QVERIFY(withoutName.waitForFinished(30000));
    QCOMPARE(withoutName.exitCode(), 2);
    QVERIFY(withoutName.readAllStandardOutput().isEmpty());
}

// With the agent running on its ports, the report says that the agent holds
// them, not some other program.
void DiagnosticsServiceTest::portsOfTheRunningAgentAreNamed()
{
    // The agent starts on ports the system chooses; the settings the
    // diagnostics read then name the ports it got.
    m_environment.WritePreferences(
        {{QStringLiteral("Pop3Port"), QStringLiteral("0")}, {QStringLiteral("SmtpPort"), QStringLiteral("0")}});
    QProcess agent;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    agent.setProcessEnvironment(environment);
    agent.setProcessChannelMode(QProcess::MergedChannels);
    agent.start(ProgramPath(QStringLiteral("Zorvane")), {});
    // The version line is logged once both listeners are up and announced.
    QByteArray output;
    while (!output.contains("(Rev. ") && agent.waitForReadyRead(30000))
        output += agent.readAll();
    QVERIFY2(output.contains("(Rev. "), output.constData());
    const quint16 pop3 = AgentProcess::AnnouncedPort(output, "POP3");
    const quint16 smtp = AgentProcess::AnnouncedPort(output, "SMTP");
    QVERIFY2(pop3 != 0 && smtp != 0, output.constData());
    m_settingsFile = m_environment.WritePreferences({{QStringLiteral("Pop3Port"), QString::number(pop3)},
                                                     {QStringLiteral("SmtpPort"), QString::number(smtp)},
                                                     {QStringLiteral("ServiceUrl"), m_service.serviceUrl()}});

    const std::unique_ptr<Diagnostics> form(NewForm());
    form->Command1()->click();
    const QStringList lines = PortLines(form->Text3());
    QVERIFY2(lines.contains(AgentInUseLine(pop3)), qPrintable(form->Text3()));
    QVERIFY2(lines.contains(AgentInUseLine(smtp)), qPrintable(form->Text3()));
    QCOMPARE(form->Text4(), Success);

    // The agent took the checks for clients that came and said QUIT, and
    // serves the next one.
    QCOMPARE(GreetingAt(pop3), QByteArray("+OK Zorvane Welcome\r\n"));
    QCOMPARE(GreetingAt(smtp), QByteArray("220 Zorvane Simple Mail Transfer Service Ready\r\n"));
    agent.terminate();
    QVERIFY(agent.waitForFinished(30000));
    QCOMPARE(agent.exitCode(), 0);
}

QTEST_MAIN(DiagnosticsServiceTest)
#include "tst_DiagnosticsService.moc"
