#include "AnswerLosingProxy.h"

#include <QHostAddress>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <memory>

AnswerLosingProxy::AnswerLosingProxy(quint16 servicePort, QObject *parent)
    : QObject(parent)
    , m_servicePort(servicePort)
    , m_server(new QTcpServer(this))
{
    connect(m_server, &QTcpServer::newConnection, this, &AnswerLosingProxy::relay);
}

AnswerLosingProxy::~AnswerLosingProxy() = default;

bool AnswerLosingProxy::listen()
{
    return m_server->listen(QHostAddress::LocalHost, 0);
}

quint16 AnswerLosingProxy::port() const
{
    return m_server->serverPort();
}

void AnswerLosingProxy::loseAnswers(const QByteArray &prefix, int count)
{
    m_prefix = prefix;
    m_toLose = count;
}

// One client connection and its own connection to the service. A request
// is taken to begin with a piece of its own, as a client writes its head;
// of those that begin with the prefix, the answers that tell of success
// are lost (a refusal, such as a challenge, goes through).
void AnswerLosingProxy::relay()
{
    while (QTcpSocket *client = m_server->nextPendingConnection()) {
        auto *service = new QTcpSocket(client);
        auto candidate = std::make_shared<bool>(false);
        service->connectToHost(QHostAddress::LocalHost, m_servicePort);
        connect(client, &QTcpSocket::readyRead, service, [this, client, service, candidate] {
            const QByteArray bytes = client->readAll();
            if (bytes.startsWith(m_prefix))
                *candidate = m_toLose > 0;
            service->write(bytes);
        });
        connect(service, &QTcpSocket::readyRead, client, [this, client, service, candidate] {
            const QByteArray bytes = service->readAll();
            if (!*candidate || !bytes.startsWith("HTTP/1.1 2")) {
                *candidate = false;
                client->write(bytes);
                return;
            }
            --m_toLose;
            ++m_lost;
            client->abort();
            service->abort();
            client->deleteLater();
        });
        connect(service, &QTcpSocket::disconnected, client, &QTcpSocket::disconnectFromHost);
        connect(client, &QTcpSocket::disconnected, client, [client, service] {
            service->disconnectFromHost();
            client->deleteLater();
        });
    }
}
