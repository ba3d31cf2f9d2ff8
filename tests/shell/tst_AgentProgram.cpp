// The real Zorvane program, started as a user would start it without a
// display, each run with its own config, runtime and temp folders, its
// listeners on the ports the system chose.

#include "AgentProcess.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <memory>

namespace {

const QRegularExpression VersionLine(QStringLiteral("Zorvane [0-9]+\\.[0-9]+ \\(Rev\\. [0-9]+\\)\n"));

// Connects and returns the first bytes the agent sends.
QByteArray greetingAt(quint16 port)
{
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, port);
    if (!client.waitForConnected(5000))
        return QByteArray("not connected");
    QByteArray received;
    QSignalSpy readable(&client, &QTcpSocket::readyRead);
    while (!received.endsWith("\r\n") && (client.bytesAvailable() > 0 || readable.wait(5000)))
        received += client.readAll();
    return received;
}

// Port 0 lets the system choose a listener's port.
QByteArray preferences(quint16 pop3, quint16 smtp, const QByteArray &more = QByteArray())
{
    return "[Preferences]\nPop3Port=" + QByteArray::number(pop3) + "\nSmtpPort=" + QByteArray::number(smtp) + "\n"
        + more;
}

} // namespace

class tst_AgentProgram : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void headless_start_listens_logs_and_terminates_without_saving();
    void second_instance_exits_1_and_the_first_runs_on();
    void close_request_at_once_after_start_up_ends_it_cleanly();
    void taken_pop3_port_gives_one_problem_and_smtp_still_listens();
    void without_debug_mode_no_log_file_is_touched();
    void no_display_means_headless();
    void unusable_log_folder_warns_once_and_runs_on();

private:
    std::unique_ptr<QTemporaryDir> m_root;
    std::unique_ptr<AgentProcess> m_agent;
};

void tst_AgentProgram::init()
{
    m_root = std::make_unique<QTemporaryDir>();
    QVERIFY(m_root->isValid());
    m_agent = std::make_unique<AgentProcess>(m_root->path());
}

void tst_AgentProgram::cleanup()
{
    m_agent.reset();
}

void tst_AgentProgram::headless_start_listens_logs_and_terminates_without_saving()
{
    m_agent->writeSettingsText(preferences(0, 0, "DebugMode=1\nDeleteOnServer=1\n"));
    const QByteArray settingsBefore = m_agent->settingsBytes();
    QVERIFY2(m_agent->start(), m_agent->standardError().constData());

    // The ports the system chose come first, then the version line, the
    // first line of the on-screen log.
    const QByteArray out = m_agent->standardOutput();
    const quint16 pop3 = AgentProcess::AnnouncedPort(out, "POP3");
    const quint16 smtp = AgentProcess::AnnouncedPort(out, "SMTP");
    QVERIFY2(pop3 != 0 && smtp != 0 && pop3 != smtp, out.constData());
    const QByteArray announcements =
        "POP3 port " + QByteArray::number(pop3) + "\nSMTP port " + QByteArray::number(smtp) + "\n";
    QVERIFY2(out.startsWith(announcements), out.constData());
    QCOMPARE(VersionLine.match(QString::fromLocal8Bit(out)).capturedStart(), announcements.size());
    QCOMPARE(greetingAt(pop3), QByteArray("+OK Zorvane Welcome\r\n"));
    QCOMPARE(greetingAt(smtp), QByteArray("220 Zorvane Simple Mail Transfer Service Ready\r\n"));
    QTRY_VERIFY(m_agent->standardOutput().contains(") accepted.\n"));

    QFile log(QDir(m_agent->logFolder()).filePath(QStringLiteral("Log.txt")));
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QByteArray logText = log.readAll();
    static const QRegularExpression header(QStringLiteral("^\r\nLogging session started [^\r\n]+\r\n={44}\r\n"));
    QVERIFY2(header.match(QString::fromLocal8Bit(logText)).hasMatch(), logText.left(200).constData());
    QVERIFY(!logText.contains("Rev."));
    QVERIFY(logText.contains("\tMSG < Connection request from 127.0.0.1(127.0.0.1) accepted.\r\n"));

    QVERIFY(m_agent->stop(SIGTERM));
    QCOMPARE(m_agent->exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_agent->exitCode(), 0);
    QCOMPARE(m_agent->settingsBytes(), settingsBefore);
    QVERIFY(!QFile::exists(m_agent->path(QStringLiteral("config/autostart/Zorvane.desktop"))));
    // The ports are free again.
    QTcpServer again;
    QVERIFY(again.listen(QHostAddress::AnyIPv4, pop3));
}

void tst_AgentProgram::second_instance_exits_1_and_the_first_runs_on()
{
    m_agent->writeSettingsText(preferences(0, 0));
    QVERIFY2(m_agent->start(), m_agent->standardError().constData());
    const quint16 pop3 = AgentProcess::AnnouncedPort(m_agent->standardOutput(), "POP3");

    AgentProcess second(m_root->path());
    second.launch();
    QVERIFY(second.waitForExit());
    QCOMPARE(second.exitCode(), 1);
    QCOMPARE(second.standardError(), QByteArray("Zorvane Info: Another instance of Zorvane is already running.\n"));
    QVERIFY(second.standardOutput().isEmpty());

    QVERIFY(m_agent->isRunning());
    QCOMPARE(greetingAt(pop3), QByteArray("+OK Zorvane Welcome\r\n"));
    // SIGINT takes the same way out as SIGTERM.
    QVERIFY(m_agent->stop(SIGINT));
    QCOMPARE(m_agent->exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_agent->exitCode(), 0);

    // With the first gone, a new start runs.
    AgentProcess third(m_root->path());
    QVERIFY2(third.start(), third.standardError().constData());
    QVERIFY(third.stop(SIGTERM));
    QCOMPARE(third.exitCode(), 0);
}

// A service manager may ask the agent to close the moment it is up: the
// request must neither kill it the system's way nor be lost while start-up
// still lets events run.
void tst_AgentProgram::close_request_at_once_after_start_up_ends_it_cleanly()
{
    m_agent->writeSettingsText(preferences(0, 0));
    // While the listeners are still being announced, and just after the
    // version line.
    m_agent->launch();
    QVERIFY2(m_agent->waitForOutput("POP3 port ", 10000), m_agent->standardError().constData());
    QVERIFY2(m_agent->stop(SIGTERM), "the agent did not end after SIGTERM");
    QCOMPARE(m_agent->exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_agent->exitCode(), 0);

    for (int run = 0; run < 3; ++run) {
        QVERIFY2(m_agent->start(), m_agent->standardError().constData());
        QVERIFY2(m_agent->stop(SIGTERM), "the agent did not end after SIGTERM");
        QCOMPARE(m_agent->exitStatus(), QProcess::NormalExit);
        QCOMPARE(m_agent->exitCode(), 0);
    }
}

// A failure names the port the settings gave; only a listener that got a
// port is announced.
void tst_AgentProgram::taken_pop3_port_gives_one_problem_and_smtp_still_listens()
{
    QTcpServer otherProgram;
    QVERIFY(otherProgram.listen(QHostAddress::AnyIPv4, 0));
    m_agent->writeSettingsText(preferences(otherProgram.serverPort(), 0));
    QVERIFY2(m_agent->start(), m_agent->standardError().constData());

    const QString err = QString::fromLocal8Bit(m_agent->standardError());
    QCOMPARE(err.count(QStringLiteral("Zorvane - System Problem: ")), 1);
    const QString problem =
        QStringLiteral("2740 - Address already in use (POP3 port %1)").arg(otherProgram.serverPort());
    QVERIFY2(err.contains(QStringLiteral("Zorvane - System Problem: ") + problem
                          + QStringLiteral("\n\nExit and run diagnostics for more information\n")),
             qPrintable(err));
    // The on-screen log shows the problem too.
    const QByteArray out = m_agent->standardOutput();
    QVERIFY(out.contains(problem.toUtf8()));
    QCOMPARE(AgentProcess::AnnouncedPort(out, "POP3"), quint16(0));
    const quint16 smtp = AgentProcess::AnnouncedPort(out, "SMTP");
    QCOMPARE(greetingAt(smtp), QByteArray("220 Zorvane Simple Mail Transfer Service Ready\r\n"));
    QVERIFY(m_agent->stop(SIGTERM));
}

void tst_AgentProgram::without_debug_mode_no_log_file_is_touched()
{
    m_agent->writeSettingsText(preferences(0, 0));
    QVERIFY2(m_agent->start(), m_agent->standardError().constData());
    const quint16 pop3 = AgentProcess::AnnouncedPort(m_agent->standardOutput(), "POP3");
    QCOMPARE(greetingAt(pop3), QByteArray("+OK Zorvane Welcome\r\n"));
    QVERIFY(m_agent->stop(SIGTERM));
    QVERIFY(!QFile::exists(m_agent->logFolder()));
    QVERIFY(m_agent->standardError().isEmpty());
}

void tst_AgentProgram::no_display_means_headless()
{
    m_agent->writeSettingsText(preferences(0, 0));
    // No QT_QPA_PLATFORM, no DISPLAY, no WAYLAND_DISPLAY.
    QVERIFY2(m_agent->start(AgentProcess::Display::NoDisplay), m_agent->standardError().constData());
    const quint16 smtp = AgentProcess::AnnouncedPort(m_agent->standardOutput(), "SMTP");
    QCOMPARE(greetingAt(smtp), QByteArray("220 Zorvane Simple Mail Transfer Service Ready\r\n"));
    QVERIFY(m_agent->stop(SIGTERM));
    QCOMPARE(m_agent->exitCode(), 0);
}

void tst_AgentProgram::unusable_log_folder_warns_once_and_runs_on()
{
    m_agent->writeSettingsText(preferences(0, 0, "DebugMode=1\n"));
    QFile blocker(m_agent->logFolder());
    QVERIFY(blocker.open(QIODevice::WriteOnly)); // a file where the folder should be
    blocker.close();
    QVERIFY2(m_agent->start(), m_agent->standardError().constData());
    QTRY_COMPARE(m_agent->standardError(), QByteArray("Zorvane: Error opening log file. Logging disabled\n"));
    const quint16 pop3 = AgentProcess::AnnouncedPort(m_agent->standardOutput(), "POP3");
    QCOMPARE(greetingAt(pop3), QByteArray("+OK Zorvane Welcome\r\n"));
    QVERIFY(m_agent->stop(SIGTERM));
    QCOMPARE(m_agent->standardError().count("Error opening log file"), 1);
}

QTEST_GUILESS_MAIN(tst_AgentProgram)
#include "tst_AgentProgram.moc"
