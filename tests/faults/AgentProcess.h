#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>

// The real Zorvane program, started headless as a user would start it, with
// its own settings, runtime and temp folders under root and free ports.
class AgentProcess
{
public:
    explicit AgentProcess(const QString &root);
    ~AgentProcess();

    QString path(const QString &relative) const;
    QString settingsPath() const;
    QString logFolder() const;
    QString logFilePath() const;

    // The [Preferences] section: ports, the service's addresses, and more
    // "Key=value" lines.
    void writeSettings(const QString &serviceUrl, const QString &altServiceUrl, const QByteArray &more = QByteArray());
    QByteArray settingsBytes() const;

    // Starts and waits until start-up has ended (the version line is out).
    bool start();
    // SIGTERM, then the wait for the end; false when it had to be killed.
    bool stop();
    bool isRunning() const;
    qint64 pid() const;

    quint16 pop3Port() const { return m_pop3Port; }
    quint16 smtpPort() const { return m_smtpPort; }
    // Everything the program wrote so far.
    QByteArray standardOutput();
    QByteArray standardError();
    // Waits until standard output holds text.
    bool waitForOutput(const QByteArray &text, int timeoutMs = 30000);

private:
    void collect();

    QString m_root;
    QProcess m_process;
    QByteArray m_out;
    QByteArray m_err;
    quint16 m_pop3Port = 0;
    quint16 m_smtpPort = 0;
};
