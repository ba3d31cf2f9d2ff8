#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>

// zorvane-service over a data folder of its own. The first start takes a
// free port; a restart comes back on the same port, so the agent's stored
// addresses stay right across a crash of the service.
class ReferenceService
{
public:
    explicit ReferenceService(const QString &dataDir);
    ~ReferenceService();

    // Writes "address password" to the accounts file and makes the Maildir.
    bool addAccount(const QByteArray &address, const QByteArray &password);
    // Drops a message into the account's inbox new/ as a delivery agent
    // would (tmp/ first, then renamed); returns its file name.
    QString deliver(const QByteArray &address, const QByteArray &message);
    QString maildir(const QByteArray &address) const;
    // File names in a folder of the account's Maildir ("new", "cur",
    // ".Deleted Items/cur" ...).
    QStringList files(const QByteArray &address, const QString &folder) const;
    // The bytes of every message file of the account (inbox, deleted and
    // sent items) and of the outbox, for looking a message up.
    QList<QByteArray> storedMessages(const QByteArray &address) const;
    QList<QByteArray> outboxMessages() const;

    // Further options of every start from now on (HTTPS, a public address).
    void setOptions(const QStringList &options) { m_options = options; }
    bool start();
    // SIGTERM and wait; SIGKILL when it does not end.
    void stop();
    // SIGKILL: a crash, nothing is cleaned up.
    void kill();
    // SIGSTOP / SIGCONT: the service hangs with its connections open.
    void pause();
    void resume();
    bool isRunning() const;

    QString serviceUrl() const { return m_serviceUrl; }
    QString altServiceUrl() const { return m_altServiceUrl; }
    quint16 port() const { return m_port; }
    // Standard output and error of every run so far.
    QByteArray output();
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
