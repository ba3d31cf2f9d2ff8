// The port checks of a run: the agent's ports and the ever farther ones tried
// while they are taken, read from the agent's own settings.

#include "DiagnosticsTestEnvironment.h"

#include "InstanceLock.h"

#include <QApplication>
#include <QLockFile>
#include <QTcpSocket>
#include <QTest>

namespace {

// Nothing listens there: the request part of the run ends at once.
QString RefusingServiceUrl()
{
    return QStringLiteral("http://127.0.0.1:%1/dav/").arg(TestPorts::Free());
}

const QString SocketErrorHead = QStringLiteral("Could not initialize TCP/IP socket:\r\n");

const QByteArray Pop3Greeting = "+OK Zorvane Welcome\r\n";
const QByteArray SmtpGreeting = "220 Zorvane Simple Mail Transfer Service Ready\r\n";

// A program that holds a port and greets every client with its line, or
// says nothing at all.
class Greeter : public QTcpServer
{
public:
    explicit Greeter(const QByteArray &greeting)
    {
        connect(this, &QTcpServer::newConnection, this, [this, greeting] {
            while (QTcpSocket *client = nextPendingConnection()) {
                client->setParent(this);
                client->write(greeting);
            }
        });
        listen(QHostAddress::AnyIPv4, 0);
    }
};

// The first line the run wrote about the port.
QString FirstLineAbout(const QString &report, quint16 port)
{
    for (const QString &line : PortLines(report)) {
        if (line.startsWith(QStringLiteral("Port %1 ").arg(port)))
            return line;
    }
    return QString();
}

} // namespace

class DiagnosticsPortsTest : public QObject
{
    Q_OBJECT

public:
    static void initMain() { TestEnvironment(); }

private slots:
    void takenPortsAreSkippedByTheThousand_data();
    void takenPortsAreSkippedByTheThousand();
    void withoutSettingsTheStandardPortsComeFirst();
    void portTakenElevenTimesIsAFindingNotAnError();
    void attemptBeyondTheHighestPortEndsTheRun();
    void unusablePortSettingEndsTheRun_data();
    void unusablePortSettingEndsTheRun();
    void portHeldByTheRunningAgentIsNamed_data();
    void portHeldByTheRunningAgentIsNamed();

private:
    DiagnosticsTestEnvironment &m_environment = TestEnvironment();
};

void DiagnosticsPortsTest::takenPortsAreSkippedByTheThousand_data()
{
    QTest::addColumn<bool>("pop3Taken");
    QTest::addColumn<bool>("smtpTaken");
    QTest::newRow("both taken, as with the agent running") << true << true;
    QTest::newRow("POP3 taken") << true << false;
    QTest::newRow("SMTP taken") << false << true;
    QTest::newRow("both free") << false << false;
}

void DiagnosticsPortsTest::takenPortsAreSkippedByTheThousand()
{
    QFETCH(bool, pop3Taken);
    QFETCH(bool, smtpTaken);
    // A port and the one a thousand above it, both free; the first is then
    // held as the agent would hold it.
    auto pop3Pair = TestPorts::HoldSeries(20000, 30000, {1000});
    auto smtpPair = TestPorts::HoldSeries(30001, 40000, {1000});
    QVERIFY(!pop3Pair.empty() && !smtpPair.empty());
    const int pop3Port = pop3Pair[0]->serverPort();
    const int smtpPort = smtpPair[0]->serverPort();
    pop3Pair[1].reset();
    smtpPair[1].reset();
    if (!pop3Taken)
        pop3Pair[0].reset();
    if (!smtpTaken)
        smtpPair[0].reset();
    m_environment.WritePreferences({{QStringLiteral("Pop3Port"), QString::number(pop3Port)},
                                    {QStringLiteral("SmtpPort"), QString::number(smtpPort)},
                                    {QStringLiteral("ServiceUrl"), RefusingServiceUrl()}});

    Diagnostics form;
    HelpPageRecorder browser(form);
    form.Command1()->click();

    QStringList expected;
    if (pop3Taken)
        expected << InUseLine(pop3Port) << AvailableLine(pop3Port + 1000, QStringLiteral("POP3"));
    else
        expected << AvailableLine(pop3Port, QStringLiteral("POP3"));
    if (smtpTaken)
        expected << InUseLine(smtpPort) << AvailableLine(smtpPort + 1000, QStringLiteral("SMTP"));
    else
        expected << AvailableLine(smtpPort, QStringLiteral("SMTP"));
    QCOMPARE(PortLines(form.Text3()), expected);
    QVERIFY(form.Text3().startsWith(QStringLiteral("\r\nSocket Library initialized.\r\nPort ")));
    QVERIFY(form.Text3().contains(expected.last() + QStringLiteral("\r\nRequesting information.")));
    // The ports found free were only tried, not kept.
    QVERIFY(TestPorts::IsFree(pop3Taken ? pop3Port + 1000 : pop3Port));
    QVERIFY(TestPorts::IsFree(smtpTaken ? smtpPort + 1000 : smtpPort));
}

// Ports 110 and 25 may be free, taken, or need privilege: whatever the run
// finds, it finds it about those two first.
void DiagnosticsPortsTest::withoutSettingsTheStandardPortsComeFirst()
{
    m_environment.UseFreshConfig();
    Diagnostics form;
    form.SetWaitIntervalMs(1); // the stored service address may be silent
    HelpPageRecorder browser(form);
    form.Command1()->click();

    const QStringList lines = PortLines(form.Text3());
    const bool pop3SocketFailed = form.Text4().startsWith(SocketErrorHead) && lines.isEmpty();
    if (pop3SocketFailed) {
        QVERIFY2(form.Text4().endsWith(QStringLiteral("(port 110)")), qPrintable(form.Text4()));
        return;
    }
    QVERIFY(!lines.isEmpty());
    QVERIFY2(lines.first() == InUseLine(110) || lines.first() == AvailableLine(110, QStringLiteral("POP3")),
             qPrintable(lines.first()));
    const qsizetype pop3End = lines.indexOf(QRegularExpression(QStringLiteral(".* for POP3\\.$")));
    QVERIFY(pop3End >= 0);
    if (lines.size() == pop3End + 1) {
        QVERIFY2(form.Text4().startsWith(SocketErrorHead) && form.Text4().endsWith(QStringLiteral("(port 25)")),
                 qPrintable(form.Text4()));
        return;
    }
    const QString firstSmtpLine = lines.at(pop3End + 1);
    QVERIFY2(firstSmtpLine == InUseLine(25) || firstSmtpLine == AvailableLine(25, QStringLiteral("SMTP")),
             qPrintable(firstSmtpLine));
}

void DiagnosticsPortsTest::portTakenElevenTimesIsAFindingNotAnError()
{
    const QList<int> offsets{1000, 3000, 6000, 10000, 15000, 21000, 28000, 36000, 45000, 55000};
    const auto held = TestPorts::HoldSeries(2000, 10535, offsets);
    QVERIFY2(!held.empty(), "no free series of eleven ports");
    const int first = held[0]->serverPort();
    const int smtpPort = TestPorts::Free();
    m_environment.WritePreferences({{QStringLiteral("Pop3Port"), QString::number(first)},
                                    {QStringLiteral("SmtpPort"), QString::number(smtpPort)},
                                    {QStringLiteral("ServiceUrl"), RefusingServiceUrl()}});

    Diagnostics form;
    HelpPageRecorder browser(form);
    form.Command1()->click();

    QStringList expected{InUseLine(first)};
    for (int offset : offsets)
        expected << InUseLine(first + offset);
    expected << AvailableLine(smtpPort, QStringLiteral("SMTP"));
    QCOMPARE(PortLines(form.Text3()), expected);
    QVERIFY(form.Text3().contains(QStringLiteral("\r\nRequesting information.")));
    QVERIFY(!form.Text4().startsWith(SocketErrorHead));
}

void DiagnosticsPortsTest::attemptBeyondTheHighestPortEndsTheRun()
{
    // p, p+1000 and p+3000 taken; p+6000 lies above 65535.
    const auto held = TestPorts::HoldSeries(59536, 62535, {1000, 3000});
    QVERIFY(!held.empty());
    const int first = held[0]->serverPort();
    m_environment.WritePreferences({{QStringLiteral("Pop3Port"), QString::number(first)},
                                    {QStringLiteral("SmtpPort"), QString::number(TestPorts::Free())},
                                    {QStringLiteral("ServiceUrl"), RefusingServiceUrl()}});

    Diagnostics form;
    HelpPageRecorder browser(form);
    form.Command1()->click();

    QCOMPARE(PortLines(form.Text3()),
             QStringList({InUseLine(first), InUseLine(first + 1000), InUseLine(first + 3000)}));
    QCOMPARE(form.Text4(),
             SocketErrorHead
                 + QStringLiteral("2726 Invalid argument: port %1 is outside 1 to 65535.").arg(first + 6000));
    QVERIFY(browser.Opened(HelpPages::Socket));
    QVERIFY(!form.Text3().contains(QStringLiteral("Requesting information.")));
}

void DiagnosticsPortsTest::unusablePortSettingEndsTheRun_data()
{
    QTest::addColumn<QString>("pop3Setting");
    QTest::addColumn<QString>("smtpSetting");
    QTest::addColumn<QString>("expectedVerdict");
    QTest::addColumn<int>("expectedPortLines");
    QTest::newRow("not a number") << "abc"
                                  << ""
                                  << SocketErrorHead
            + QStringLiteral("2726 Invalid argument: the setting Pop3Port \"abc\" is not a port number.")
                                  << 0;
    QTest::newRow("above the highest port")
        << "70000"
        << "" << SocketErrorHead + QStringLiteral("2726 Invalid argument: port 70000 is outside 1 to 65535.") << 0;
    QTest::newRow("SMTP empty, after a good POP3 port")
        << "free"
        << ""
        << SocketErrorHead + QStringLiteral("2726 Invalid argument: the setting SmtpPort \"\" is not a port number.")
        << 1;
}

void DiagnosticsPortsTest::unusablePortSettingEndsTheRun()
{
    QFETCH(QString, pop3Setting);
    QFETCH(QString, smtpSetting);
    QFETCH(QString, expectedVerdict);
    QFETCH(int, expectedPortLines);
    if (pop3Setting == QLatin1String("free"))
        pop3Setting = QString::number(TestPorts::Free());
    m_environment.WritePreferences({{QStringLiteral("Pop3Port"), pop3Setting},
                                    {QStringLiteral("SmtpPort"), smtpSetting},
                                    {QStringLiteral("ServiceUrl"), RefusingServiceUrl()}});

    Diagnostics form;
    HelpPageRecorder browser(form);
    form.Command1()->click();

    QCOMPARE(form.Text4(), expectedVerdict);
    QCOMPARE(PortLines(form.Text3()).size(), expectedPortLines);
    QVERIFY(browser.Opened(HelpPages::Socket));
    QVERIFY(!form.Text3().contains(QStringLiteral("Requesting information.")));
}

void DiagnosticsPortsTest::portHeldByTheRunningAgentIsNamed_data()
{
    QTest::addColumn<bool>("agentRunning");
    QTest::addColumn<QByteArray>("pop3Greeting");
    QTest::addColumn<QByteArray>("smtpGreeting");
    QTest::addColumn<bool>("pop3IsAgent");
    QTest::addColumn<bool>("smtpIsAgent");
    QTest::newRow("the agent on both") << true << Pop3Greeting << SmtpGreeting << true << true;
    QTest::newRow("its greetings, but no agent runs") << false << Pop3Greeting << SmtpGreeting << false << false;
    QTest::newRow("other servers") << true << QByteArray("+OK Dovecot ready.\r\n")
                                   << QByteArray("220 mail.example.org ESMTP\r\n") << false << false;
    QTest::newRow("greetings on the wrong ports") << true << SmtpGreeting << Pop3Greeting << false << false;
    QTest::newRow("a silent program, then the agent") << true << QByteArray() << SmtpGreeting << false << true;
}

// A port the agent itself holds is no problem to solve: the report says so,
// and only then.
void DiagnosticsPortsTest::portHeldByTheRunningAgentIsNamed()
{
    QFETCH(bool, agentRunning);
    QFETCH(QByteArray, pop3Greeting);
    QFETCH(QByteArray, smtpGreeting);
    QFETCH(bool, pop3IsAgent);
    QFETCH(bool, smtpIsAgent);
    QLockFile agentLock(InstanceLock::DefaultPath(QStringLiteral("Zorvane")));
    if (agentRunning)
        QVERIFY(agentLock.tryLock(0));
    const Greeter pop3(pop3Greeting);
    const Greeter smtp(smtpGreeting);
    QVERIFY(pop3.isListening() && smtp.isListening());
    m_environment.WritePreferences({{QStringLiteral("Pop3Port"), QString::number(pop3.serverPort())},
                                    {QStringLiteral("SmtpPort"), QString::number(smtp.serverPort())},
                                    {QStringLiteral("ServiceUrl"), RefusingServiceUrl()}});

    Diagnostics form;
    HelpPageRecorder browser(form);
    form.Command1()->click();

    const auto expected = [](quint16 port, bool isAgent) { return isAgent ? AgentInUseLine(port) : InUseLine(port); };
    QCOMPARE(FirstLineAbout(form.Text3(), pop3.serverPort()), expected(pop3.serverPort(), pop3IsAgent));
    QCOMPARE(FirstLineAbout(form.Text3(), smtp.serverPort()), expected(smtp.serverPort(), smtpIsAgent));
}

QTEST_MAIN(DiagnosticsPortsTest)
#include "tst_DiagnosticsPorts.moc"
