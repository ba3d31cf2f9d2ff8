#include "FakeHttpPeer.h"

#include <QEventLoop>
#include <QHostAddress>
#include <QMutexLocker>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

#ifdef Q_OS_WIN
#include <winsock2.h>
#else
#include <sys/socket.h>
#endif

namespace {

// A test never sends more; the limits stop a runaway client from eating memory.
constexpr qsizetype MaxRequestHeadBytes = 1024 * 1024;
constexpr qsizetype MaxRequestBodyBytes = 256 * 1024 * 1024;

enum class Parse { Incomplete, Complete, Malformed };

QByteArray headerValue(const FakeHttpPeer::Headers &headers, const QByteArray &name)
{
    for (const auto &[key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return QByteArray();
}

// Decodes a chunked body starting at `from`; returns the bytes consumed, 0 if
// more are needed, -1 if malformed.
qsizetype dechunk(const QByteArray &buffer, qsizetype from, QByteArray *body)
{
    qsizetype at = from;
    body->clear();
    for (;;) {
        const qsizetype lineEnd = buffer.indexOf("\r\n", at);
        if (lineEnd < 0)
            return 0;
        QByteArray sizeText = buffer.mid(at, lineEnd - at);
        const qsizetype extension = sizeText.indexOf(';');
        if (extension >= 0)
            sizeText.truncate(extension);
        bool ok = false;
        const qint64 size = sizeText.trimmed().toLongLong(&ok, 16);
        if (!ok || size < 0 || body->size() + size > MaxRequestBodyBytes)
            return -1;
        at = lineEnd + 2;
        if (size == 0) {
            // Trailers, then the empty line.
            const qsizetype end = buffer.indexOf("\r\n\r\n", at - 2);
            if (end < 0)
                return 0;
            return end + 4 - from;
        }
        if (buffer.size() < at + size + 2)
            return 0;
        body->append(buffer.constData() + at, size);
        at += size + 2;
    }
}

Parse parseRequest(QByteArray &buffer, FakeHttpPeer::Request *request)
{
    const qsizetype headEnd = buffer.indexOf("\r\n\r\n");
    if (headEnd < 0)
        return buffer.size() > MaxRequestHeadBytes ? Parse::Malformed : Parse::Incomplete;
    const QList<QByteArray> lines = buffer.left(headEnd).split('\n');
    const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
    if (requestLine.size() != 3)
        return Parse::Malformed;
    FakeHttpPeer::Request parsed;
    parsed.verb = requestLine.at(0);
    parsed.target = requestLine.at(1);
    parsed.version = requestLine.at(2);
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).endsWith('\r') ? lines.at(i).chopped(1) : lines.at(i);
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0)
            return Parse::Malformed;
        parsed.headers.append({line.left(colon), line.mid(colon + 1).trimmed()});
    }

    qsizetype consumed = headEnd + 4;
    if (headerValue(parsed.headers, "Transfer-Encoding").toLower().contains("chunked")) {
        const qsizetype chunked = dechunk(buffer, consumed, &parsed.body);
        if (chunked < 0)
            return Parse::Malformed;
        if (chunked == 0)
            return Parse::Incomplete;
        consumed += chunked;
    } else {
        const QByteArray lengthText = headerValue(parsed.headers, "Content-Length");
        bool ok = true;
        const qint64 length = lengthText.isEmpty() ? 0 : lengthText.toLongLong(&ok);
        if (!ok || length < 0 || length > MaxRequestBodyBytes)
            return Parse::Malformed;
        if (buffer.size() < consumed + length)
            return Parse::Incomplete;
        parsed.body = buffer.mid(consumed, length);
        consumed += length;
    }
    buffer.remove(0, consumed);
    *request = std::move(parsed);
    return Parse::Complete;
}

void resetOnClose(QTcpSocket *socket)
{
    // A zero linger time makes the close a reset instead of a FIN.
    struct linger immediately;
    immediately.l_onoff = 1;
    immediately.l_linger = 0;
    ::setsockopt(socket->socketDescriptor(), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char *>(&immediately),
                 sizeof immediately);
}

} // namespace

// One accepted connection: reads requests and plays their answers in order.
class FakeHttpPeer::Connection : public QObject
{
public:
    Connection(FakeHttpPeer *peer, QTcpSocket *socket, int number)
        : QObject(peer)
        , m_peer(peer)
        , m_socket(socket)
        , m_number(number)
    {
        socket->setParent(this);
        connect(socket, &QTcpSocket::readyRead, this, &Connection::readArrived);
        connect(socket, &QTcpSocket::disconnected, this, &Connection::closedByEitherSide);
    }

    int number() const { return m_number; }
    bool isOpen() const { return !m_closed; }

    void play(const Answer &answer)
    {
        m_playing = true;
        m_stalled = false;
        m_pending = answer.steps;
        playNext();
    }

    void closeNow()
    {
        m_pending.clear();
        m_closed = true;
        m_socket->abort();
    }

private:
    void readArrived()
    {
        m_buffer += m_socket->readAll();
        takeRequests();
    }

    // Requests behind one still being answered wait their turn.
    void takeRequests()
    {
        while (!m_playing && !m_closed) {
            Request request;
            const Parse result = parseRequest(m_buffer, &request);
            if (result == Parse::Incomplete)
                return;
            if (result == Parse::Malformed) {
                play(FakeHttpPeer::reply(400, "Malformed request").close());
                return;
            }
            request.connection = m_number;
            m_peer->recordRequest(std::move(request), this);
        }
    }

    void playNext()
    {
        while (!m_pending.isEmpty() && !m_closed) {
            const Answer::Step step = m_pending.takeFirst();
            switch (step.kind) {
            case Answer::Step::Send:
                m_socket->write(step.bytes);
                break;
            case Answer::Step::Wait:
                QTimer::singleShot(step.milliseconds, this, &Connection::playNext);
                return;
            case Answer::Step::Close:
                m_closed = true;
                m_socket->disconnectFromHost();
                return;
            case Answer::Step::Reset:
                m_closed = true;
                m_socket->flush();
                resetOnClose(m_socket);
                m_socket->abort();
                closedByEitherSide();
                return;
            case Answer::Step::Stall:
                m_stalled = true;
                m_peer->m_lastStalled = this;
                return;
            }
        }
        if (m_closed)
            return;
        m_playing = false;
        takeRequests();
    }

    void closedByEitherSide()
    {
        if (m_gone)
            return;
        m_gone = true;
        m_closed = true;
        if (m_peer->m_lastStalled == this)
            m_peer->m_lastStalled = nullptr;
        m_peer->m_connections.removeOne(this);
        emit m_peer->connectionClosed(m_number);
        deleteLater();
    }

    FakeHttpPeer *m_peer;
    QTcpSocket *m_socket;
    const int m_number;
    QByteArray m_buffer;
    QList<Answer::Step> m_pending;
    bool m_playing = false;
    bool m_stalled = false;
    bool m_closed = false;
    bool m_gone = false;
};

QByteArray FakeHttpPeer::Request::header(const QByteArray &name) const
{
    return headerValue(headers, name);
}

bool FakeHttpPeer::Request::hasHeader(const QByteArray &name) const
{
    for (const auto &pair : headers) {
        if (pair.first.compare(name, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

QByteArray FakeHttpPeer::Request::path() const
{
    const qsizetype query = target.indexOf('?');
    return query < 0 ? target : target.left(query);
}

FakeHttpPeer::Answer &FakeHttpPeer::Answer::send(const QByteArray &bytes)
{
    steps.append({Step::Send, bytes, 0});
    return *this;
}

FakeHttpPeer::Answer &FakeHttpPeer::Answer::wait(int milliseconds)
{
    steps.append({Step::Wait, QByteArray(), milliseconds});
    return *this;
}

FakeHttpPeer::Answer &FakeHttpPeer::Answer::close()
{
    steps.append({Step::Close, QByteArray(), 0});
    return *this;
}

FakeHttpPeer::Answer &FakeHttpPeer::Answer::reset()
{
    steps.append({Step::Reset, QByteArray(), 0});
    return *this;
}

FakeHttpPeer::Answer &FakeHttpPeer::Answer::stall()
{
    steps.append({Step::Stall, QByteArray(), 0});
    return *this;
}

FakeHttpPeer::Answer FakeHttpPeer::raw(const QByteArray &bytes)
{
    Answer answer;
    answer.send(bytes);
    return answer;
}

FakeHttpPeer::Answer FakeHttpPeer::reply(int status, const QByteArray &reason, const QByteArray &body,
                                         const Headers &headers)
{
    QByteArray bytes = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason + "\r\n";
    for (const auto &[name, value] : headers)
        bytes += name + ": " + value + "\r\n";
    bytes += "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n";
    bytes += body;
    return raw(bytes);
}

FakeHttpPeer::Answer FakeHttpPeer::silence()
{
    Answer answer;
    answer.stall();
    return answer;
}

FakeHttpPeer::Answer FakeHttpPeer::drop()
{
    Answer answer;
    answer.close();
    return answer;
}

FakeHttpPeer::Answer FakeHttpPeer::basicChallenge(const QByteArray &realm, const QByteArray &body)
{
    return reply(401, "Unauthorized", body, {{"WWW-Authenticate", "Basic realm=\"" + realm + "\""}});
}

FakeHttpPeer::FakeHttpPeer(QObject *parent)
    : QObject(parent)
{
}

FakeHttpPeer::~FakeHttpPeer()
{
    if (m_ownThread) {
        runInPeerThread([this] { closeEverything(); });
        m_ownThread->quit();
        m_ownThread->wait();
        delete m_ownThread;
    } else {
        closeEverything();
    }
}

bool FakeHttpPeer::listen()
{
    bool listening = false;
    runInPeerThread([this, &listening] {
        if (!m_server) {
            m_server = new QTcpServer(this);
            connect(m_server, &QTcpServer::newConnection, this, &FakeHttpPeer::acceptConnections);
        }
        listening = m_server->isListening() || m_server->listen(QHostAddress::LocalHost, 0);
        m_port = m_server->serverPort();
    });
    return listening;
}

bool FakeHttpPeer::listenInOwnThread()
{
    if (!m_ownThread) {
        if (parent() || m_server)
            return false;
        m_ownThread = new QThread;
        m_ownThread->setObjectName(QStringLiteral("FakeHttpPeer"));
        m_ownThread->start();
        moveToThread(m_ownThread);
    }
    return listen();
}

quint16 FakeHttpPeer::port() const
{
    return m_port;
}

QString FakeHttpPeer::url(const QString &path) const
{
    return QStringLiteral("http://127.0.0.1:%1%2").arg(m_port).arg(path);
}

void FakeHttpPeer::enqueue(const Answer &answer)
{
    QMutexLocker lock(&m_mutex);
    m_script.append(answer);
}

void FakeHttpPeer::setResponder(Responder responder)
{
    QMutexLocker lock(&m_mutex);
    m_responder = std::move(responder);
}

bool FakeHttpPeer::resumeStalled(const Answer &rest)
{
    bool resumed = false;
    runInPeerThread([this, &rest, &resumed] {
        Connection *stalled = m_lastStalled;
        m_lastStalled = nullptr;
        if (stalled && stalled->isOpen()) {
            stalled->play(rest);
            resumed = true;
        }
    });
    return resumed;
}

QList<FakeHttpPeer::Request> FakeHttpPeer::requests() const
{
    QMutexLocker lock(&m_mutex);
    return m_requests;
}

int FakeHttpPeer::connectionCount() const
{
    QMutexLocker lock(&m_mutex);
    return m_connectionCount;
}

int FakeHttpPeer::openConnectionCount() const
{
    int open = 0;
    const_cast<FakeHttpPeer *>(this)->runInPeerThread([this, &open] { open = int(m_connections.size()); });
    return open;
}

bool FakeHttpPeer::scriptConsumed() const
{
    QMutexLocker lock(&m_mutex);
    return m_script.isEmpty();
}

int FakeHttpPeer::unscriptedRequests() const
{
    QMutexLocker lock(&m_mutex);
    return m_unscripted;
}

bool FakeHttpPeer::waitForRequests(int count, int timeoutMilliseconds)
{
    return waitUntil([this, count] { return requests().size() >= count; }, timeoutMilliseconds);
}

bool FakeHttpPeer::waitForConnections(int count, int timeoutMilliseconds)
{
    return waitUntil([this, count] { return connectionCount() >= count; }, timeoutMilliseconds);
}

void FakeHttpPeer::shutdown()
{
    runInPeerThread([this] { closeEverything(); });
}

void FakeHttpPeer::acceptConnections()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        int number = 0;
        {
            QMutexLocker lock(&m_mutex);
            number = ++m_connectionCount;
        }
        m_connections.append(new Connection(this, socket, number));
        emit connectionAccepted(number);
    }
}

FakeHttpPeer::Answer FakeHttpPeer::answerFor(const Request &request)
{
    Responder responder;
    {
        QMutexLocker lock(&m_mutex);
        if (!m_script.isEmpty())
            return m_script.takeFirst();
        responder = m_responder;
        if (!responder)
            ++m_unscripted;
    }
    if (responder)
        return responder(request);
    return reply(500, "Unscripted", "no answer was scripted for this request");
}

void FakeHttpPeer::recordRequest(Request request, Connection *connection)
{
    const Answer answer = answerFor(request);
    int index = 0;
    {
        QMutexLocker lock(&m_mutex);
        m_requests.append(std::move(request));
        index = int(m_requests.size()) - 1;
    }
    // A test reacting to the signal may shut the peer down.
    QPointer<Connection> guard(connection);
    emit requestReceived(index);
    if (guard)
        connection->play(answer);
}

bool FakeHttpPeer::waitUntil(const std::function<bool()> &done, int timeoutMilliseconds)
{
    if (done())
        return true;
    QEventLoop loop;
    QTimer deadline;
    deadline.setSingleShot(true);
    connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    auto check = [&loop, &done] {
        if (done())
            loop.quit();
    };
    connect(this, &FakeHttpPeer::requestReceived, &loop, check);
    connect(this, &FakeHttpPeer::connectionAccepted, &loop, check);
    deadline.start(timeoutMilliseconds);
    if (!done())
        loop.exec();
    return done();
}

void FakeHttpPeer::runInPeerThread(const std::function<void()> &work)
{
    if (QThread::currentThread() == thread())
        work();
    else
        QMetaObject::invokeMethod(this, work, Qt::BlockingQueuedConnection);
}

void FakeHttpPeer::closeEverything()
{
    // Deleted here, on the peer's own thread, where its notifiers live.
    delete m_server;
    m_server = nullptr;
    const QList<Connection *> open = m_connections;
    m_connections.clear();
    m_lastStalled = nullptr;
    for (Connection *connection : open) {
        connection->closeNow();
        delete connection;
    }
}
