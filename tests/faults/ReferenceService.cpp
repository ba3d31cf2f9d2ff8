#include "ReferenceService.h"

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
constexpr int StartTimeoutMs = 60000;
constexpr int StopTimeoutMs = 30000;

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

ReferenceService::ReferenceService(const QString &dataDir)
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

ReferenceService::~ReferenceService()
{
    if (m_process.state() != QProcess::NotRunning) {
        ::kill(pid_t(m_process.processId()), SIGCONT);
        stop();
    }
}

bool ReferenceService::addAccount(const QByteArray &address, const QByteArray &password)
{
    QFile accounts(m_dataDir + QStringLiteral("/accounts"));
    if (!accounts.open(QIODevice::Append))
        return false;
    accounts.write(address + ' ' + password + '\n');
    for (const char *sub : {"new", "cur", "tmp"})
        QDir().mkpath(maildir(address) + QLatin1Char('/') + QLatin1String(sub));
    return true;
}

QString ReferenceService::deliver(const QByteArray &address, const QByteArray &message)
{
    const QString name = QStringLiteral("%1.M%2P%3.faults").arg(1700000000 + m_deliveries).arg(m_deliveries).arg(::getpid());
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

QString ReferenceService::maildir(const QByteArray &address) const
{
    return m_dataDir + QStringLiteral("/mail/") + QString::fromUtf8(address);
}

QStringList ReferenceService::files(const QByteArray &address, const QString &folder) const
{
    return QDir(maildir(address) + QLatin1Char('/') + folder).entryList(QDir::Files, QDir::Name);
}

QList<QByteArray> ReferenceService::storedMessages(const QByteArray &address) const
{
    return messagesBelow(maildir(address));
}

QList<QByteArray> ReferenceService::outboxMessages() const
{
    return messagesBelow(m_dataDir + QStringLiteral("/outbox"));
}

bool ReferenceService::start()
{
    const QString program = qEnvironmentVariable("ZORVANE_BIN_DIR") + QStringLiteral("/zorvane-service");
    m_runOutput.clear();
    m_serviceUrl.clear();
    m_altServiceUrl.clear();
    m_process.setProgram(program);
    m_process.setArguments(QStringList{QStringLiteral("--data"), m_dataDir, QStringLiteral("--port"), QString::number(m_port)}
                           + m_options);
    m_process.start();
    if (!m_process.waitForStarted(StartTimeoutMs)) {
        m_problem = m_process.errorString();
        return false;
    }
    QSignalSpy output(&m_process, &QProcess::readyReadStandardOutput);
    QElapsedTimer clock;
    clock.start();
    while (!readAddresses()) {
        if (m_process.state() == QProcess::NotRunning || clock.elapsed() > StartTimeoutMs) {
            m_problem = QStringLiteral("the service printed no addresses: ") + QString::fromLocal8Bit(m_runOutput);
            return false;
        }
        output.wait(StartTimeoutMs - int(clock.elapsed()));
    }
    m_port = quint16(QUrl(m_serviceUrl).port());
    return true;
}

void ReferenceService::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(StopTimeoutMs))
        m_process.kill();
    m_process.waitForFinished(StopTimeoutMs);
}

void ReferenceService::kill()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.kill();
    m_process.waitForFinished(StopTimeoutMs);
}

void ReferenceService::pause()
{
    ::kill(pid_t(m_process.processId()), SIGSTOP);
}

void ReferenceService::resume()
{
    ::kill(pid_t(m_process.processId()), SIGCONT);
}

bool ReferenceService::isRunning() const
{
    return m_process.state() == QProcess::Running;
}

QByteArray ReferenceService::output()
{
    const QByteArray bytes = m_process.readAllStandardOutput();
    m_output += bytes;
    m_runOutput += bytes;
    return m_output;
}

QList<QByteArray> ReferenceService::requestLines()
{
    static const QRegularExpression requestLine(QStringLiteral("^[A-Z]+ /\\S* \\d{3}$"));
    QList<QByteArray> found;
    for (const QByteArray &line : output().split('\n')) {
        if (requestLine.match(QString::fromLatin1(line)).hasMatch())
            found.append(line);
    }
    return found;
}

bool ReferenceService::readAddresses()
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
