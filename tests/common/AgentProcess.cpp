#include "AgentProcess.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

namespace {
// Start-up ends with the version line on the on-screen log (standard output
// without a display).
const QRegularExpression VersionLine(QStringLiteral("Zorvane [0-9]+\\.[0-9]+ \\(Rev\\. [0-9]+\\)\n"));
constexpr int StartTimeoutMs = 60000;
constexpr int StopTimeoutMs = 30000;
} // namespace

AgentProcess::AgentProcess(const QString &root)
    : m_root(root)
{
    for (const char *folder : {"config/Zorvane", "runtime", "temp"})
        QDir().mkpath(path(QLatin1String(folder)));
    QFile::setPermissions(path(QStringLiteral("runtime")), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QObject::connect(&m_process, &QProcess::readyReadStandardOutput, [this] { collect(); });
    QObject::connect(&m_process, &QProcess::readyReadStandardError, [this] { collect(); });
}

AgentProcess::~AgentProcess()
{
    // What the agent wrote is often the reason a test failed.
    if (QTest::currentTestFailed())
        qWarning().noquote() << "agent output:\n" << standardOutput() << standardError();
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(StopTimeoutMs);
    }
}

quint16 AgentProcess::AnnouncedPort(QByteArrayView output, QByteArrayView protocol)
{
    const QByteArray lead = protocol.toByteArray() + " port ";
    for (const QByteArray &line : output.toByteArray().split('\n')) {
        if (!line.startsWith(lead))
            continue;
        bool isNumber = false;
        const uint port = line.mid(lead.size()).toUInt(&isNumber);
        if (isNumber && port > 0 && port <= 65535)
            return quint16(port);
    }
    return 0;
}

QString AgentProcess::path(const QString &relative) const
{
    return QDir(m_root).filePath(relative);
}

QString AgentProcess::settingsPath() const
{
    return path(QStringLiteral("config/Zorvane/Zorvane.ini"));
}

QString AgentProcess::logFolder() const
{
    return path(QStringLiteral("temp/Zorvane Logging"));
}

QString AgentProcess::logFilePath() const
{
    return logFolder() + QStringLiteral("/Log.txt");
}

void AgentProcess::writeSettings(const QString &serviceUrl, const QString &altServiceUrl, const QByteArray &more)
{
    writeSettingsText("[Preferences]\nAutoStart=0\nLocalhostOnly=1\nPop3Port=0\nSmtpPort=0\nServiceUrl="
                      + serviceUrl.toUtf8() + "\nAltServiceUrl=" + altServiceUrl.toUtf8() + "\n" + more);
    m_portsChosenBySystem = true;
}

void AgentProcess::writeSettingsText(const QByteArray &text)
{
    m_portsChosenBySystem = false;
    QFile file(settingsPath());
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return;
    file.write(text);
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
}

QByteArray AgentProcess::settingsBytes() const
{
    QFile file(settingsPath());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void AgentProcess::launch(Display display)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), path(QStringLiteral("config")));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), path(QStringLiteral("runtime")));
    env.insert(QStringLiteral("TMPDIR"), path(QStringLiteral("temp")));
    if (display == Display::Offscreen)
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    else
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    collect();
    m_runStart = m_out.size();
    m_pop3Port = 0;
    m_smtpPort = 0;
    m_process.setProcessEnvironment(env);
    m_process.start(qEnvironmentVariable("ZORVANE_BIN_DIR") + QStringLiteral("/Zorvane"), QStringList());
}

bool AgentProcess::start(Display display)
{
    launch(display);
    return waitUntilRunning();
}

// The listeners announce their ports before the version line ends start-up.
bool AgentProcess::waitUntilRunning()
{
    if (!m_process.waitForStarted(StartTimeoutMs))
        return false;
    QSignalSpy finished(&m_process, &QProcess::finished);
    QSignalSpy output(&m_process, &QProcess::readyReadStandardOutput);
    QElapsedTimer clock;
    clock.start();
    while (!VersionLine.match(QString::fromLocal8Bit(m_out.mid(m_runStart))).hasMatch()) {
        if (!finished.isEmpty() || clock.elapsed() > StartTimeoutMs)
            return false;
        output.wait(StartTimeoutMs - int(clock.elapsed()));
    }
    readAnnouncedPorts();
    return !m_portsChosenBySystem || (m_pop3Port != 0 && m_smtpPort != 0);
}

void AgentProcess::readAnnouncedPorts()
{
    const QByteArrayView run = QByteArrayView(m_out).sliced(m_runStart);
    m_pop3Port = AnnouncedPort(run, "POP3");
    m_smtpPort = AnnouncedPort(run, "SMTP");
}

bool AgentProcess::waitForExit()
{
    const bool ended = m_process.waitForFinished(StopTimeoutMs);
    collect();
    return ended;
}

bool AgentProcess::stop(int signal)
{
    if (m_process.state() == QProcess::NotRunning)
        return true;
    ::kill(pid_t(m_process.processId()), signal);
    if (waitForExit())
        return true;
    m_process.kill();
    m_process.waitForFinished(StopTimeoutMs);
    return false;
}

bool AgentProcess::isRunning() const
{
    return m_process.state() == QProcess::Running;
}

qint64 AgentProcess::pid() const
{
    return m_process.processId();
}

QByteArray AgentProcess::standardOutput()
{
    collect();
    return m_out;
}

QByteArray AgentProcess::standardError()
{
    collect();
    return m_err;
}

bool AgentProcess::waitForOutput(const QByteArray &text, int timeoutMs)
{
    QSignalSpy output(&m_process, &QProcess::readyReadStandardOutput);
    QElapsedTimer clock;
    clock.start();
    while (!standardOutput().contains(text)) {
        if (clock.elapsed() > timeoutMs || m_process.state() == QProcess::NotRunning)
            return standardOutput().contains(text);
        output.wait(timeoutMs - int(clock.elapsed()));
    }
    return true;
}

void AgentProcess::collect()
{
    if (!m_process.isOpen())
        return;
    m_out += m_process.readAllStandardOutput();
    m_err += m_process.readAllStandardError();
}
