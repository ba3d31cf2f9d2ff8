#include "Winsock.h"

#include "NextTurnCall.h"

#include <QHash>
#include <QHostAddress>
#include <QMetaMethod>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <cerrno>
#include <utility>

namespace {

// A connection we close goes on sending what was queued; a peer that never
// reads must not keep it (and its buffers) alive for longer than this.
constexpr int CloseLingerMs = 10000;

// The system's own words for an error; POSIX reports errno values, Windows
// its socket error numbers.
QString systemErrorText(int posixErrno, int windowsNumber)
{
#ifdef Q_OS_WIN
    Q_UNUSED(posixErrno);
    return qt_error_string(windowsNumber);
#else
    Q_UNUSED(windowsNumber);
    return qt_error_string(posixErrno);
#endif
}

QString addressText(const QHostAddress &address)
{
    // A v4-mapped address is shown the way the control shows any IPv4 peer.
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4).toString() : address.toString();
}

} // namespace

struct Winsock::Private
{
    QTcpServer *server = nullptr;
    QPointer<QTcpSocket> connection;
    // Requests announced by ConnectionRequest and not yet accepted. They
    // survive Close() so the handler can close the listener and then accept.
    QHash<qintptr, QTcpSocket *> requests;
    qintptr nextRequestId = 1;
    QString requestPeer; // peer of the newest request
    quint16 localPort = 0;
    int state = sckClosed;
    int lastError = 0;
    QString lastErrorDescription;
    bool sendPending = false;
    qint64 sentSinceNotice = 0; // bytes the system took since the last SendProgress
    // The owner's notices, made from the event loop at its next turn: they
    // cost no wake-up of the loop, and run in the order they were queued.
    NextTurnCall *arrivalNotice = nullptr;    // DataArrival
    NextTurnCall *sentNotice = nullptr;       // SendProgress, SendComplete
    NextTurnCall *peerClosedNotice = nullptr; // PeerClosed
};

Winsock::Winsock(QObject *parent)
    : QObject(parent)
    , d(new Private)
{
    d->server = new QTcpServer(this);
    // Take one connection at a time from the system; the rest wait in its
    // backlog and are refused once the listener is closed.
    d->server->setMaxPendingConnections(1);
    // Queued: the handler closes the listener, which must not happen inside
    // the server's own notification.
    connect(
        d->server, &QTcpServer::newConnection, this, [this] { takeRequests(); }, Qt::QueuedConnection);
    d->arrivalNotice = new NextTurnCall([this] { announceArrival(); }, this);
    d->sentNotice = new NextTurnCall(
        [this] {
            if (QTcpSocket *current = d->connection.data())
                announceSent(current);
        },
        this);
    d->peerClosedNotice = new NextTurnCall(
        [this] {
            if (d->connection && d->state == sckClosing)
                emit PeerClosed();
        },
        this);
}

Winsock::~Winsock()
{
    delete d;
}

quint16 Winsock::LocalPort() const
{
    return d->localPort;
}

void Winsock::SetLocalPort(quint16 port)
{
    d->localPort = port;
}

bool Winsock::Listen()
{
    if (d->state != sckClosed) {
        setError(sckInvalidOp, QStringLiteral("Invalid operation at current state"));
        return false;
    }
    dropRequests();
    if (!d->server->listen(QHostAddress::AnyIPv4, d->localPort)) {
        switch (d->server->serverError()) {
        case QAbstractSocket::AddressInUseError:
            setError(sckAddressInUse, systemErrorText(EADDRINUSE, sckAddressInUse));
            break;
        case QAbstractSocket::SocketAccessError:
            setError(sckAccessDenied, systemErrorText(EACCES, sckAccessDenied));
            break;
        case QAbstractSocket::SocketAddressNotAvailableError:
            setError(sckAddressNotAvailable, systemErrorText(EADDRNOTAVAIL, sckAddressNotAvailable));
            break;
        default:
            setError(sckInvalidArgument, d->server->errorString());
            break;
        }
        d->state = sckError;
        return false;
    }
    d->localPort = d->server->serverPort();
    d->state = sckListening;
    return true;
}

bool Winsock::Accept(qintptr requestId)
{
    QTcpSocket *socket = d->requests.take(requestId);
    if (!socket) {
        setError(sckInvalidArgument, QStringLiteral("No such connection request"));
        return false;
    }
    if (d->state != sckClosed)
        Close();
    dropRequests();
    adopt(socket);
    return true;
}

bool Winsock::SendData(const QByteArray &data)
{
    if (d->state != sckConnected || !d->connection) {
        setError(sckBadState,
                 QStringLiteral("Wrong protocol or connection state for the requested transaction or request"));
        return false;
    }
    if (data.isEmpty())
        return true;
    if (d->connection->write(data) != data.size()) {
        setError(sckBadState, d->connection->errorString());
        return false;
    }
    d->sendPending = true;
    // Out at once, as far as the system takes it, instead of on the next
    // turn of the event loop; the rest follows as the peer reads.
    d->connection->flush();
    return true;
}

QByteArray Winsock::GetData()
{
    return d->connection ? d->connection->readAll() : QByteArray();
}

qint64 Winsock::BytesToWrite() const
{
    return d->connection ? d->connection->bytesToWrite() : 0;
}

void Winsock::Close()
{
    if (d->server->isListening())
        d->server->close();
    if (QTcpSocket *socket = d->connection.data()) {
        d->connection = nullptr;
        socket->disconnect(this);
        retire(socket);
    }
    d->sendPending = false;
    d->state = sckClosed;
}

int Winsock::State() const
{
    return d->state;
}

ConnectionAddresses Winsock::RequestAddresses(qintptr requestId) const
{
    const QTcpSocket *socket = d->requests.value(requestId);
    if (!socket)
        return {};
    return {socket->localAddress(), socket->localPort(), socket->peerAddress(), socket->peerPort()};
}

QString Winsock::RemoteHostIP() const
{
    if (d->connection)
        return addressText(d->connection->peerAddress());
    return d->requestPeer;
}

QString Winsock::RemoteHost() const
{
    // No name lookup: it would block the one thread on a slow resolver.
    return RemoteHostIP();
}

int Winsock::LastError() const
{
    return d->lastError;
}

QString Winsock::LastErrorDescription() const
{
    return d->lastErrorDescription;
}

void Winsock::connectNotify(const QMetaMethod &signal)
{
    // A request that came before anyone handled requests is announced as
    // soon as someone does.
    if (signal == QMetaMethod::fromSignal(&Winsock::ConnectionRequest))
        QMetaObject::invokeMethod(
            this, [this] { takeRequests(); }, Qt::QueuedConnection);
}

void Winsock::takeRequests()
{
    // Unannounced requests wait in the system's backlog until a handler is
    // there; taking them now would leave them unanswered.
    if (!isSignalConnected(QMetaMethod::fromSignal(&Winsock::ConnectionRequest)))
        return;
    while (d->server->hasPendingConnections()) {
        QTcpSocket *socket = d->server->nextPendingConnection();
        if (!socket)
            break;
        socket->setParent(this);
        if (d->state != sckListening) {
            // The listener was closed before the request could be announced.
            socket->abort();
            socket->deleteLater();
            continue;
        }
        const qintptr id = d->nextRequestId++;
        d->requests.insert(id, socket);
        d->requestPeer = addressText(socket->peerAddress());
        emit ConnectionRequest(id);
    }
}

void Winsock::dropRequests()
{
    for (QTcpSocket *socket : std::as_const(d->requests)) {
        socket->abort();
        socket->deleteLater();
    }
    d->requests.clear();
}

void Winsock::adopt(QTcpSocket *socket)
{
    d->connection = socket;
    d->sendPending = false;
    d->sentSinceNotice = 0;
    // Replies are whole lines written at once: none waits for the peer's
    // acknowledgement of the one before (a short last piece of a message
    // would otherwise wait out the peer's delayed acknowledgement).
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    // What the peer sends beyond this waits in the system's socket buffer
    // until the owner has taken what is here, so a peer that floods the
    // connection cannot grow the agent's memory faster than it is read.
    socket->setReadBufferSize(MaxReadAheadBytes);
    d->state = sckConnected;
    // The owner hears of arrivals and completed sends from the event loop,
    // never from inside the connection's own notifications: a handler may
    // let events run for as long as it waits for the service, and the
    // connection may end and be deleted meanwhile (the watchdog, a new
    // client); nothing of it may be on the stack under the handler then.
    // Outside its own notification the connection also goes on reading, so
    // what the peer sends meanwhile, and its close, are seen at once.
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] { queueArrival(socket); });
    connect(socket, &QTcpSocket::bytesWritten, this, [this, socket](qint64 written) {
        if (d->connection == socket)
            d->sentSinceNotice += written;
        queueSentCheck(socket);
    });
    // A peer that closed or reset the connection has gone either way; both
    // leave the object waiting to be closed, which the owner or the
    // watchdog heals.
    connect(socket, &QTcpSocket::disconnected, this, [this, socket] { queuePeerClosed(socket); });
    connect(socket, &QTcpSocket::errorOccurred, this, [this, socket](QAbstractSocket::SocketError) {
        if (d->connection != socket)
            return;
        setError(sckConnectionReset, socket->errorString());
        if (socket->state() != QAbstractSocket::ConnectedState)
            queuePeerClosed(socket);
    });
    // Data that arrived before the connection was accepted is announced now.
    if (socket->bytesAvailable() > 0)
        queueArrival(socket);
    if (socket->state() != QAbstractSocket::ConnectedState)
        queuePeerClosed(socket);
}

// Announced after any arrival already queued, so the owner has taken what
// the peer sent before it left.
void Winsock::queuePeerClosed(QTcpSocket *socket)
{
    if (d->connection != socket || d->state == sckClosing)
        return;
    d->state = sckClosing;
    d->peerClosedNotice->request();
}

// One notice at a time is on its way; it speaks for whatever connection the
// object carries when it is delivered. It runs before the loop reads the
// socket again, so each arrival is taken whole rather than in the pieces the
// system hands over meanwhile.
void Winsock::queueArrival(QTcpSocket *socket)
{
    if (d->connection == socket)
        d->arrivalNotice->request();
}

void Winsock::announceArrival()
{
    QTcpSocket *current = d->connection.data();
    if (current && current->bytesAvailable() > 0)
        emit DataArrival(current->bytesAvailable());
}

void Winsock::queueSentCheck(QTcpSocket *socket)
{
    if (d->connection == socket)
        d->sentNotice->request();
}

void Winsock::announceSent(QTcpSocket *socket)
{
    if (d->connection != socket)
        return;
    if (const qint64 sent = std::exchange(d->sentSinceNotice, 0); sent > 0)
        emit SendProgress(sent, socket->bytesToWrite());
    // The owner may have closed or replaced the connection meanwhile.
    if (d->connection == socket && d->sendPending && socket->bytesToWrite() == 0) {
        d->sendPending = false;
        emit SendComplete();
    }
}

void Winsock::retire(QTcpSocket *socket)
{
    // Queued bytes still go out; the socket deletes itself once closed.
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    socket->disconnectFromHost();
    if (socket->state() == QAbstractSocket::UnconnectedState) {
        socket->deleteLater();
        return;
    }
    QTimer::singleShot(CloseLingerMs, socket, [socket] {
        socket->abort();
        socket->deleteLater();
    });
}

void Winsock::setError(int number, const QString &description)
{
    d->lastError = number;
    d->lastErrorDescription = description;
}
