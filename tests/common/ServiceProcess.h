#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>

// zorvane-service as a child process over a data folder of its own, with
// the accounts the test writes. The first start asks for port 0 and reads
// back the addresses the service prints; a restart comes back on the same
// port, so the agent's stored addresses stay right across a crash of the
// service. What the service wrote to standard output and error is kept and
// named in problem() when it does not start.
class ServiceProcess
{
public:
    // Start-up and shut-down each end within this long, or the service is
    // broken; the limits only keep a broken build from hanging the run.
    static constexpr int StartLimitMs = 60000;
    static constexpr int StopLimitMs = 30000;

    explicit ServiceProcess(const QString &dataDir);
    ~ServiceProcess();

    // Adds "address password" to the accounts file and makes the Maildir.
    bool addAccount(const QString &address, const QString &password);
    // Writes the whole accounts file: one "address password [redirect]" a
    // line, comments allowed.
    bool writeAccounts(const QByteArray &lines);
    // Drops a message into the account's inbox new/ as a delivery agent
    // would (tmp/ first, then renamed); returns its file name.
    QString deliver(const QString &address, const QByteArray &message);
    QString maildir(const QString &address) const;
    // File names in a folder of the account's Maildir ("new", "cur",
    // ".Deleted Items/cur" ...).
    QStringList files(const QString &address, const QString &folder) const;
    // The messages of one Maildir folder ("" the inbox, ".Sent Items" ...),
    // new and cur, in name order.
    QList<QByteArray> messages(const QString &address, const QString &folder = QString()) const;
    // The bytes of every message file of the account (inbox, deleted and
    // sent items) and of the outbox, for looking a message up.
    QList<QByteArray> storedMessages(const QString &address) const;
    QList<QByteArray> outboxMessages() const;

    // Further options of every start from now on (HTTPS, a public address).
    void setOptions(const QStringList &options) { m_options = options; }
    bool start();
    // SIGTERM and wait; SIGKILL when it does not end. True when the service
    // ended on SIGTERM alone with status 0 (or was not running).
    bool stop();
    // SIGKILL: a crash, nothing is cleaned up.
    void kill();
    // SIGSTOP / SIGCONT: the service hangs with its connections open.
    void pause();
    void resume();
    bool isRunning() const;

    QString serviceUrl() const { return m_serviceUrl; }
    QString altServiceUrl() const { return m_altServiceUrl; }
    quint16 port() const { return m_port; }
    // Standard output and error of every run so far, and of the latest run.
    QByteArray output();
    QByteArray runOutput();
    // The request lines the service logged so far ("PROPFIND /dav/ 207").
    QList<QByteArray> requestLines();
    QString problem() const { return m_problem; }
    QString dataDir() const { return m_dataDir; }

private:
    bool readAddresses();

    QString m_dataDir;
    QStringList m_options;
    QProcess m_process;
    QByteArray m_output;
    QByteArray m_runOutput;
    QString m_serviceUrl;
    QString m_altServiceUrl;
    quint16 m_port = 0;
    QString m_problem;
    int m_deliveries = 0;
};
