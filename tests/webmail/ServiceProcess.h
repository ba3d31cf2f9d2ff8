#pragma once

// The reference web mail service, run as the tests' far end: a data folder
// of its own, port 0, and the two address lines it prints first.

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QTest>

class ServiceProcess
{
public:
    // A service that cannot show its addresses within this long is broken;
    // the limit only keeps a broken build from hanging the test run.
    static constexpr int StartLimitMs = 30000;

    explicit ServiceProcess(const QString &dataDir) : m_dataDir(dataDir) {}
    ~ServiceProcess() { Stop(); }

    // Writes the accounts file: one "address password [redirect]" a line.
    void WriteAccounts(const QByteArray &lines)
    {
        QDir().mkpath(m_dataDir);
        QFile accounts(QDir(m_dataDir).filePath(QStringLiteral("accounts")));
        if (!accounts.open(QIODevice::WriteOnly) || accounts.write(lines) != lines.size())
            qFatal("cannot write the accounts file");
    }

    bool Start()
    {
        const QString binDir = qEnvironmentVariable("ZORVANE_BIN_DIR");
        m_process.setProgram(QDir(binDir).filePath(QStringLiteral("zorvane-service")));
        m_process.setArguments({QStringLiteral("--data"), m_dataDir, QStringLiteral("--port"), QStringLiteral("0")});
        m_process.setProcessChannelMode(QProcess::SeparateChannels);
        m_process.start();
        if (!m_process.waitForStarted(StartLimitMs)) {
            qWarning("cannot start %s: %s", qPrintable(m_process.program()), qPrintable(m_process.errorString()));
            return false;
        }
        while (m_serviceUrl.isEmpty() || m_altServiceUrl.isEmpty()) {
            if (!m_process.canReadLine() && !m_process.waitForReadyRead(StartLimitMs)) {
                qWarning("the service printed no addresses: %s", m_process.readAllStandardError().constData());
                return false;
            }
            while (m_process.canReadLine()) {
                const QByteArray line = m_process.readLine().trimmed();
                if (line.startsWith("ServiceUrl="))
                    m_serviceUrl = QString::fromUtf8(line.mid(int(sizeof("ServiceUrl=")) - 1));
                else if (line.startsWith("AltServiceUrl="))
                    m_altServiceUrl = QString::fromUtf8(line.mid(int(sizeof("AltServiceUrl=")) - 1));
            }
        }
        return true;
    }

    void Stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.terminate();
        if (!m_process.waitForFinished(StartLimitMs))
            m_process.kill();
        m_process.waitForFinished();
    }

    QString ServiceUrl() const { return m_serviceUrl; }
    QString AltServiceUrl() const { return m_altServiceUrl; }
    QString DataDir() const { return m_dataDir; }
    QString MaildirOf(const QString &address) const
    {
        return QDir(m_dataDir).filePath(QStringLiteral("mail/") + address);
    }

private:
    QString m_dataDir;
    QProcess m_process;
    QString m_serviceUrl;
    QString m_altServiceUrl;
};
