#include "AgentProcess.h"

#include "FreePort.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QSignalSpy>

#include <csignal>

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
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(StopTimeoutMs);
    }
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
    m_pop3Port = FreePort::find();
    m_smtpPort = FreePort::find();
    QFile file(settingsPath());
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return;
    file.write("[Preferences]\nAutoStart=0\nLocalhostOnly=1\nPop3Port=" + QByteArray::number(m_pop3Port)
               + "\nSmtpPort=" + QByteArray::number(m_smtpPort) + "\nServiceUrl=" + serviceUrl.toUtf8()
               + "\nAltServiceUrl=" + altServiceUrl.toUtf8() + "\n" + more);
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
}

QByteArray AgentProcess::settingsBytes() const
{
    QFile file(settingsPath());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool AgentProcess::start()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), path(QStringLiteral("config")));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), path(QStringLiteral("runtime")));
    env.insert(QStringLiteral("TMPDIR"), path(QStringLiteral("temp")));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    m_process.setProcessEnvironment(env);
    m_process.start(qEnvironmentVariable("ZORVANE_BIN_DIR") + QStringLiteral("/Zorvane"), QStringList());
    if (!m_process.waitForStarted(StartTimeoutMs))
        return false;
    QSignalSpy finished(&m_process, &QProcess::finished);
    QSignalSpy output(&m_process, &QProcess::readyReadStandardOutput);
    QElapsedTimer clock;
    clock.start();
    while (!VersionLine.match(QString::fromLocal8Bit(m_out)).hasMatch()) {
        if (!finished.isEmpty() || clock.elapsed() > StartTimeoutMs)
            return false;
        output.wait(StartTimeoutMs - int(clock.elapsed()));
    }
    return true;
}

bool AgentProcess::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return true;
    ::kill(pid_t(m_process.processId()), SIGTERM);
    if (m_process.waitForFinished(StopTimeoutMs)) {
        collect();
        return true;
    }
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
    m_out += m_process.readAllStandardOutput();
    m_err += m_process.readAllStandardError();
}
