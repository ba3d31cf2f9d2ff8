#pragma once

#include "ConnectionAddresses.h"

#include <QByteArray>
#include <QObject>
#include <QString>

class QTcpServer;
class QTcpSocket;

// Stand-in for the socket control: one object that either listens on its
// local port or carries exactly one connection, never both. It listens on
// IPv4 on every local address. Data is bytes, never transcoded.
class Winsock : public QObject
{
    Q_OBJECT
public:
    // The control's state codes.
    enum State {
        sckClosed = 0,
        sckListening = 2,
        sckConnected = 7,
        sckClosing = 8, // the peer closed; waiting for us to close
        sckError = 9,
    };
    // The control's error numbers.
    static constexpr int sckAddressInUse = 10048;
    static constexpr int sckInvalidArgument = 10022;
    static constexpr int sckAccessDenied = 10013; // a port that needs privilege
    static constexpr int sckAddressNotAvailable = 10049;
    static constexpr int sckConnectionReset = 10054; // the peer closed or reset
    static constexpr int sckBadState = 40006;        // send without a connection
    static constexpr int sckInvalidOp = 40020;       // listen while not closed
    // Received bytes held for the owner at most; GetData returns no more.
    static constexpr qint64 MaxReadAheadBytes = 1024 * 1024;

    explicit Winsock(QObject *parent = nullptr);
    ~Winsock() override;

    quint16 LocalPort() const;
    void SetLocalPort(quint16 port);

    // Starts listening on LocalPort (0 picks a free port; LocalPort() then
    // reports it). Returns false and sets LastError()/LastErrorDescription()
    // on failure (10048 when the port is held by another program).
    bool Listen();
    // Accepts the pending connection that ConnectionRequest announced; the
    // object stops listening and carries that connection.
    bool Accept(qintptr requestId);
    // Queues bytes for sending; SendComplete follows once they left.
    bool SendData(const QByteArray &data);
    // Returns and removes every byte received so far.
    QByteArray GetData();
    // Bytes handed to SendData that the system has not taken yet: they wait
    // for the peer to read.
    qint64 BytesToWrite() const;
    // Closes the connection or the listener; the state becomes 0.
    void Close();

    int State() const;
    // Both ends of an announced request not yet accepted; incomplete when
    // there is no such request or its peer had gone before it was taken.
    ConnectionAddresses RequestAddresses(qintptr requestId) const;
    QString RemoteHostIP() const;
    QString RemoteHost() const;
    int LastError() const;
    QString LastErrorDescription() const;

signals:
    void ConnectionRequest(qintptr requestId);
    void DataArrival(qint64 bytesTotal);
    // The system took bytesSent more of what was queued; bytesRemaining wait.
    void SendProgress(qint64 bytesSent, qint64 bytesRemaining);
    void SendComplete();
    // The peer closed the connection (the state is now sckClosing).
    void PeerClosed();

protected:
    void connectNotify(const QMetaMethod &signal) override;

private:
    void takeRequests();
    void dropRequests();
    void adopt(QTcpSocket *socket);
    void queueArrival(QTcpSocket *socket);
    void announceArrival();
    void queueSentCheck(QTcpSocket *socket);
    void queuePeerClosed(QTcpSocket *socket);
    void announceSent(QTcpSocket *socket);
    void retire(QTcpSocket *socket);
    void setError(int number, const QString &description);

    struct Private;
    Private *d;
};
