#pragma once

#include <QByteArray>
#include <QObject>

class QTcpServer;

// A TCP relay in front of a service that loses the answers to chosen
// requests: such a request goes through and the service carries it out, but
// the client's connection is closed before a byte of the success answer
// reaches it, as when a proxy or the network drops it. Everything else
// passes unchanged.
// Runs on the test's event loop, so the client must be another process.
class AnswerLosingProxy : public QObject
{
    Q_OBJECT
public:
    explicit AnswerLosingProxy(quint16 servicePort, QObject *parent = nullptr);
    ~AnswerLosingProxy() override;

    // Listens on 127.0.0.1 at a free port.
    bool listen();
    quint16 port() const;

    // The success answers (2xx) to the next count requests whose request line
    // begins with prefix ("POST ") are lost.
    void loseAnswers(const QByteArray &prefix, int count);
    int answersLost() const { return m_lost; }

private:
    void relay();

    quint16 m_servicePort;
    QTcpServer *m_server;
    QByteArray m_prefix;
    int m_toLose = 0;
    int m_lost = 0;
};
