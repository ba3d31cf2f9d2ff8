#include "ServiceProcess.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QUrl>

#include <csignal>
#include <unistd.h>

namespace {

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QList<QByteArray> messagesBelow(const QString &folder)
{
    QList<QByteArray> found;
    QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString file = it.next();
        // Files still being written (in a tmp folder of the Maildir) are
        // not messages yet.
        if (!QDir(folder).relativeFilePath(file).split(QLatin1Char('/')).contains(QLatin1String("tmp")))
            found.append(readFile(file));
    }
    return found;
}
} // namespace

ServiceProcess::ServiceProcess(const QString &dataDir)
    : m_dataDir(dataDir)
{
    QDir().mkpath(m_dataDir);
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    QObject::connect(&m_process, &QProcess::readyReadStandardOutput, [this] {
        const QByteArray bytes = m_process.readAllStandardOutput();
        m_output += bytes;
        m_runOutput += bytes;
    });
}

ServiceProcess::~ServiceProcess()
{
    if (m_process.state() != QProcess::NotRunning) {
        ::kill(pid_t(m_process.processId()), SIGCONT);
        stop();
    }
}

bool ServiceProcess::addAccount(const QString &address, const QString &password)
{
    QFile accounts(m_dataDir + QStringLiteral("/accounts"));
    if (!accounts.open(QIODevice::Append))
        return false;
    const QByteArray line = (address + QLatin1Char(' ') + password + QLatin1Char('\n')).toUtf8();
    if (accounts.write(line) != line.size())
        return false;
    for (const char *sub : {"new", "cur", "tmp"})
        QDir().mkpath(maildir(address) + QLatin1Char('/') + QLatin1String(sub));
    return true;
}

bool ServiceProcess::writeAccounts(const QByteArray &lines)
{
    QFile accounts(m_dataDir + QStringLiteral("/accounts"));
    return accounts.open(QIODevice::WriteOnly) && accounts.write(lines) == lines.size();
}

QString ServiceProcess::deliver(const QString &address, const QByteArray &message)
{
    const QString name =
        QStringLiteral("%1.M%2P%3.faults").arg(1700000000 + m_deliveries).arg(m_deliveries).arg(::getpid());
    ++m_deliveries;
    const QString temporary = maildir(address) + QStringLiteral("/tmp/") + name;
    QFile file(temporary);
    if (!file.open(QIODevice::WriteOnly) || file.write(message) != message.size())
        return QString();
    file.close();
    if (!QFile::rename(temporary, maildir(address) + QStringLiteral("/new/") + name))
        return QString();
    return name;
}

QString ServiceProcess::maildir(const QString &address) const
{
    return m_dataDir + QStringLiteral("/mail/") + address;
}

QStringList ServiceProcess::files(const QString &address, const QString &folder) const
{
    return QDir(maildir(address) + QLatin1Char('/') + folder).entryList(QDir::Files, QDir::Name);
}

QList<QByteArray> ServiceProcess::messages(const QString &address, const QString &folder) const
{
    QList<QByteArray> found;
    for (const char *part : {"new", "cur"}) {
        const QDir dir(maildir(address) + QLatin1Char('/') + folder + QLatin1Char('/') + QLatin1String(part));
        for (const QString &name : dir.entryList(QDir::Files, QDir::Name))
            found.append(readFile(dir.filePath(name)));
    }
    return found;
}

QList<QByteArray> ServiceProcess::storedMessages(const QString &address) const
{
    return messagesBelow(maildir(address));
}

QList<QByteArray> ServiceProcess::outboxMessages() const
{
    return messagesBelow(m_dataDir + QStringLiteral("/outbox"));
}

bool ServiceProcess::start()
{
    const QString program = qEnvironmentVariable("ZORVANE_BIN_DIR") + QStringLiteral("/zorvane-service");
    m_runOutput.clear();
    m_serviceUrl.clear();
    m_altServiceUrl.clear();
    m_process.setProgram(program);
    m_process.setArguments(
        QStringList{QStringLiteral("--data"), m_dataDir, QStringLiteral("--port"), QString::number(m_port)}
        + m_options);
    m_process.start();
    if (!m_process.waitForStarted(StartLimitMs)) {
        m_problem = m_process.errorString();
        return false;
    }
    QSignalSpy output(&m_process, &QProcess::readyReadStandardOutput);
    QElapsedTimer clock;
    clock.start();
    while (!readAddresses()) {
        if (m_process.state() == QProcess::NotRunning || clock.elapsed() > StartLimitMs) {
            m_problem = QStringLiteral("the service printed no addresses: ") + QString::fromLocal8Bit(m_runOutput);
            return false;
        }
        output.wait(StartLimitMs - int(clock.elapsed()));
    }
    m_port = quint16(QUrl(m_serviceUrl).port());
    return true;
}

bool ServiceProcess::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return true;
    m_process.terminate();
    if (m_process.waitForFinished(StopLimitMs))
        return m_process.exitStatus() == QProcess::NormalExit && m_process.exitCode() == 0;
    m_process.kill();
    m_process.waitForFinished(StopLimitMs);
    return false;
}

void ServiceProcess::kill()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.kill();
    m_process.waitForFinished(StopLimitMs);
}

void ServiceProcess::pause()
{
    ::kill(pid_t(m_process.processId()), SIGSTOP);
}

void ServiceProcess::resume()
{
    ::kill(pid_t(m_process.processId()), SIGCONT);
}

bool ServiceProcess::isRunning() const
{
    return m_process.state() == QProcess::Running;
}

QByteArray ServiceProcess::output()
{
    const QByteArray bytes = m_process.readAllStandardOutput();
    m_output += bytes;
    m_runOutput += bytes;
    return m_output;
}

QByteArray ServiceProcess::runOutput()
{
    output();
    return m_runOutput;
}

QList<QByteArray> ServiceProcess::requestLines()
{
    static const QRegularExpression requestLine(QStringLiteral("^[A-Z]+ /\\S* \\d{3}$"));
    QList<QByteArray> found;
    for (const QByteArray &line : output().split('\n')) {
        if (requestLine.match(QString::fromLatin1(line)).hasMatch())
            found.append(line);
    }
    return found;
}

bool ServiceProcess::readAddresses()
{
    for (const QByteArray &line : m_runOutput.split('\n')) {
        const QByteArray trimmed = line.trimmed();
        if (trimmed.startsWith("ServiceUrl="))
            m_serviceUrl = QString::fromUtf8(trimmed.mid(11));
        else if (trimmed.startsWith("AltServiceUrl="))
            m_altServiceUrl = QString::fromUtf8(trimmed.mid(14));
    }
    return !m_serviceUrl.isEmpty() && !m_altServiceUrl.isEmpty();
}
