// The real Zorvane program, started as a user would start it without a
// display, each run with its own config, runtime and temp folders and free
// ports.

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

// A port nobody listens on right now.
quint16 freePort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::AnyIPv4, 0) ? probe.serverPort() : 0;
}

const QRegularExpression VersionLine(QStringLiteral("Zorvane [0-9]+\\.[0-9]+ \\(Rev\\. [0-9]+\\)\n"));

class AgentRun
{
public:
    explicit AgentRun(const QString &root)
        : m_root(root)
    {
        for (const char *folder : {"config/Zorvane", "runtime", "temp"})
            QDir().mkpath(QDir(m_root).filePath(QLatin1String(folder)));
        QFile::setPermissions(QDir(m_root).filePath(QStringLiteral("runtime")), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QObject::connect(&process, &QProcess::readyReadStandardOutput, [this] { out += process.readAllStandardOutput(); });
        QObject::connect(&process, &QProcess::readyReadStandardError, [this] { err += process.readAllStandardError(); });
    }

    QString path(const QString &relative) const { return QDir(m_root).filePath(relative); }
    QString settingsPath() const { return path(QStringLiteral("config/Zorvane/Zorvane.ini")); }
    QString logFolder() const { return path(QStringLiteral("temp/Zorvane Logging")); }

    void writeSettings(const QByteArray &text)
    {
        QFile file(settingsPath());
        if (file.open(QIODevice::WriteOnly))
            file.write(text);
    }

    QByteArray settingsBytes() const
    {
        QFile file(settingsPath());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    void start(bool forceOffscreen = true)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), path(QStringLiteral("config")));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), path(QStringLiteral("runtime")));
        env.insert(QStringLiteral("TMPDIR"), path(QStringLiteral("temp")));
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        if (forceOffscreen)
            env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        else
            env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        process.setProcessEnvironment(env);
        process.start(qEnvironmentVariable("ZORVANE_BIN_DIR") + QStringLiteral("/Zorvane"), QStringList());
    }

    // Start-up has ended once the version line is out: the listeners and
    // the log file come before and after it in a fixed order.
    bool waitUntilRunning()
    {
        QSignalSpy finished(&process, &QProcess::finished);
        for (int round = 0; round < 100 && !VersionLine.match(QString::fromLocal8Bit(out)).hasMatch(); ++round) {
            if (!finished.isEmpty())
                return false;
            QSignalSpy more(&process, &QProcess::readyReadStandardOutput);
            if (!more.wait(100) && process.state() == QProcess::NotRunning)
                return false;
        }
        return VersionLine.match(QString::fromLocal8Bit(out)).hasMatch();
    }

    bool stop(int signal)
    {
        if (process.state() != QProcess::Running)
            return false;
        ::kill(pid_t(process.processId()), signal);
        return process.waitForFinished(10000);
    }

    QProcess process;
    QByteArray out;
    QByteArray err;

private:
    QString m_root;
};

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

QByteArray preferences(quint16 pop3, quint16 smtp, const QByteArray &more = QByteArray())
{
    return "[Preferences]\nPop3Port=" + QByteArray::number(pop3) + "\nSmtpPort=" + QByteArray::number(smtp) + "\n" + more;
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
    void taken_pop3_port_gives_one_problem_and_smtp_still_listens();
    void without_debug_mode_no_log_file_is_touched();
    void no_display_means_headless();
    void unusable_log_folder_warns_once_and_runs_on();

private:
    std::unique_ptr<QTemporaryDir> m_root;
    std::unique_ptr<AgentRun> m_agent;
};

void tst_AgentProgram::init()
{
    m_root = std::make_unique<QTemporaryDir>();
    QVERIFY(m_root->isValid());
    m_agent = std::make_unique<AgentRun>(m_root->path());
}

void tst_AgentProgram::cleanup()
{
    if (m_agent->process.state() != QProcess::NotRunning) {
        m_agent->process.kill();
        m_agent->process.waitForFinished(5000);
    }
    m_agent.reset();
}

void tst_AgentProgram::headless_start_listens_logs_and_terminates_without_saving()
{
    const quint16 pop3 = freePort();
    const quint16 smtp = freePort();
    m_agent->writeSettings(preferences(pop3, smtp, "DebugMode=1\nDeleteOnServer=1\n"));
    const QByteArray settingsBefore = m_agent->settingsBytes();
    m_agent->start();
    QVERIFY2(m_agent->waitUntilRunning(), m_agent->err.constData());

    // The version line is the first line of the on-screen log.
    QVERIFY(VersionLine.match(QString::fromLocal8Bit(m_agent->out)).capturedStart() == 0);
    QCOMPARE(greetingAt(pop3), QByteArray("+OK Zorvane Welcome\r\n"));
    QCOMPARE(greetingAt(smtp), QByteArray("220 Zorvane Simple Mail Transfer Service Ready\r\n"));
    QTRY_VERIFY(m_agent->out.contains(") accepted.\n"));

    QFile log(QDir(m_agent->logFolder()).filePath(QStringLiteral("Log.txt")));
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QByteArray logText = log.readAll();
    static const QRegularExpression header(QStringLiteral("^\r\nLogging session started [^\r\n]+\r\n={44}\r\n"));
    QVERIFY2(header.match(QString::fromLocal8Bit(logText)).hasMatch(), logText.left(200).constData());
    QVERIFY(!logText.contains("Rev."));
    QVERIFY(logText.contains("\tMSG < Connection request from 127.0.0.1(127.0.0.1) accepted.\r\n"));

    QVERIFY(m_agent->stop(SIGTERM));
    QCOMPARE(m_agent->process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_agent->process.exitCode(), 0);
    QCOMPARE(m_agent->settingsBytes(), settingsBefore);
    QVERIFY(!QFile::exists(m_agent->path(QStringLiteral("config/autostart/Zorvane.desktop"))));
    // The ports are free again.
    QTcpServer again;
    QVERIFY(again.listen(QHostAddress::AnyIPv4, pop3));
}

void tst_AgentProgram::second_instance_exits_1_and_the_first_runs_on()
{
    const quint16 pop3 = freePort();
    const quint16 smtp = freePort();
    m_agent->writeSettings(preferences(pop3, smtp));
    m_agent->start();
    QVERIFY2(m_agent->waitUntilRunning(), m_agent->err.constData());

    AgentRun second(m_root->path());
    second.start();
    QVERIFY(second.process.waitForFinished(10000));
    QCOMPARE(second.process.exitCode(), 1);
    QCOMPARE(second.err, QByteArray("Zorvane Info: Another instance of Zorvane is already running.\n"));
    QVERIFY(!second.out.contains("Rev."));

    QCOMPARE(m_agent->process.state(), QProcess::Running);
    QCOMPARE(greetingAt(pop3), QByteArray("+OK Zorvane Welcome\r\n"));
    // SIGINT takes the same way out as SIGTERM.
    QVERIFY(m_agent->stop(SIGINT));
    QCOMPARE(m_agent->process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_agent->process.exitCode(), 0);

    // With the first gone, a new start runs.
    AgentRun third(m_root->path());
    third.start();
    QVERIFY2(third.waitUntilRunning(), third.err.constData());
    QVERIFY(third.stop(SIGTERM));
}

void tst_AgentProgram::taken_pop3_port_gives_one_problem_and_smtp_still_listens()
{
    QTcpServer otherProgram;
    QVERIFY(otherProgram.listen(QHostAddress::AnyIPv4, 0));
    const quint16 smtp = freePort();
    m_agent->writeSettings(preferences(otherProgram.serverPort(), smtp));
    m_agent->start();
    QVERIFY2(m_agent->waitUntilRunning(), m_agent->err.constData());

    const QString err = QString::fromLocal8Bit(m_agent->err);
    QCOMPARE(err.count(QStringLiteral("Zorvane - System Problem: ")), 1);
    const QString problem = QStringLiteral("2740 - Address already in use (POP3 port %1)").arg(otherProgram.serverPort());
    QVERIFY2(err.contains(QStringLiteral("Zorvane - System Problem: ") + problem
                          + QStringLiteral("\n\nExit and run diagnostics for more information\n")),
             qPrintable(err));
    // The on-screen log shows the problem too.
    QVERIFY(m_agent->out.contains(problem.toUtf8()));
    QCOMPARE(greetingAt(smtp), QByteArray("220 Zorvane Simple Mail Transfer Service Ready\r\n"));
    QVERIFY(m_agent->stop(SIGTERM));
}

void tst_AgentProgram::without_debug_mode_no_log_file_is_touched()
{
    const quint16 pop3 = freePort();
    const quint16 smtp = freePort();
    m_agent->writeSettings(preferences(pop3, smtp));
    m_agent->start();
    QVERIFY2(m_agent->waitUntilRunning(), m_agent->err.constData());
    QCOMPARE(greetingAt(pop3), QByteArray("+OK Zorvane Welcome\r\n"));
    QVERIFY(m_agent->stop(SIGTERM));
    QVERIFY(!QFile::exists(m_agent->logFolder()));
    QVERIFY(m_agent->err.isEmpty());
}

void tst_AgentProgram::no_display_means_headless()
{
    const quint16 pop3 = freePort();
    const quint16 smtp = freePort();
    m_agent->writeSettings(preferences(pop3, smtp));
    // No QT_QPA_PLATFORM, no DISPLAY, no WAYLAND_DISPLAY.
    m_agent->start(false);
    QVERIFY2(m_agent->waitUntilRunning(), m_agent->err.constData());
    QCOMPARE(greetingAt(smtp), QByteArray("220 Zorvane Simple Mail Transfer Service Ready\r\n"));
    QVERIFY(m_agent->stop(SIGTERM));
    QCOMPARE(m_agent->process.exitCode(), 0);
}

void tst_AgentProgram::unusable_log_folder_warns_once_and_runs_on()
{
    const quint16 pop3 = freePort();
    const quint16 smtp = freePort();
    m_agent->writeSettings(preferences(pop3, smtp, "DebugMode=1\n"));
    QFile blocker(m_agent->logFolder());
    QVERIFY(blocker.open(QIODevice::WriteOnly)); // a file where the folder should be
    blocker.close();
    m_agent->start();
    QVERIFY2(m_agent->waitUntilRunning(), m_agent->err.constData());
    QTRY_COMPARE(m_agent->err, QByteArray("Zorvane: Error opening log file. Logging disabled\n"));
    QCOMPARE(greetingAt(pop3), QByteArray("+OK Zorvane Welcome\r\n"));
    QVERIFY(m_agent->stop(SIGTERM));
    QCOMPARE(m_agent->err.count("Error opening log file"), 1);
}

QTEST_GUILESS_MAIN(tst_AgentProgram)
#include "tst_AgentProgram.moc"
