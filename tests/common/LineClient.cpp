#include "LineClient.h"

#include <QEventLoop>
#include <QHostAddress>
#include <QTest>
#include <QTimer>

bool LineClient::connectTo(quint16 port, const QHostAddress &from)
{
    if (!from.isNull() && !m_socket.bind(from, 0))
        return false;
    m_socket.connectToHost(QHostAddress::LocalHost, port);
    return waitUntil([this] { return isConnected(); });
}

bool LineClient::connectGreeted(quint16 port, const QByteArray &greeting, int timeoutMs)
{
    return QTest::qWaitFor(
        [&] {
            m_buffer.clear();
            if (!connectTo(port))
                return false;
            if (readLine() == greeting)
                return true;
            m_socket.abort();
            return false;
        },
        timeoutMs);
}

void LineClient::logInPop(quint16 port, const QByteArray &password)
{
    QVERIFY(connectGreeted(port, "+OK Zorvane Welcome\r\n"));
    QCOMPARE(command("USER user"), QByteArray("+OK password required\r\n"));
    QCOMPARE(command("PASS " + password), QByteArray("+OK logged in\r\n"));
}

void LineClient::send(const QByteArray &bytes)
{
    m_socket.write(bytes);
    m_socket.flush();
}

void LineClient::sendInPieces(const QByteArray &bytes, qsizetype pieceBytes)
{
    qsizetype sent = 0;
    auto feed = [&] {
        while (sent < bytes.size() && m_socket.bytesToWrite() < 4 * pieceBytes) {
            m_socket.write(bytes.mid(sent, pieceBytes));
            sent += pieceBytes;
        }
    };
    const auto connection = QObject::connect(&m_socket, &QTcpSocket::bytesWritten, feed);
    feed();
    waitUntil([&] { return sent >= bytes.size(); });
    QObject::disconnect(connection);
}

QByteArray LineClient::command(const QByteArray &line, int timeoutMs)
{
    return exchange(line + "\r\n", timeoutMs);
}

QByteArray LineClient::exchange(const QByteArray &bytes, int timeoutMs)
{
    send(bytes);
    return readLine(timeoutMs);
}

QByteArray LineClient::multiLineCommand(const QByteArray &line, int timeoutMs)
{
    send(line + "\r\n");
    return readMultiLine(timeoutMs);
}

QByteArray LineClient::readLine(int timeoutMs)
{
    if (!waitFor("\r\n", timeoutMs))
        return takeAll();
    return take(m_buffer.indexOf("\r\n") + 2);
}

QByteArray LineClient::readMultiLine(int timeoutMs)
{
    waitUntil([this] { return multiLineEnd() >= 0; }, timeoutMs);
    const qsizetype end = multiLineEnd();
    return end >= 0 ? take(end) : takeAll();
}

bool LineClient::waitFor(const QByteArray &needle, int timeoutMs)
{
    return waitUntil([&] { return pending().contains(needle); }, timeoutMs);
}

// Runs the event loop until done() holds, the peer closes, or the time is up;
// wakes on every arrival rather than on a poll interval.
bool LineClient::waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    QTimer limit;
    limit.setSingleShot(true);
    limit.start(timeoutMs);
    for (;;) {
        pending();
        if (done())
            return true;
        if (!limit.isActive() || m_socket.state() == QAbstractSocket::UnconnectedState)
            return false;
        QEventLoop loop;
        QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
        QObject::connect(&m_socket, &QTcpSocket::readyRead, &loop, &QEventLoop::quit);
        QObject::connect(&m_socket, &QTcpSocket::disconnected, &loop, &QEventLoop::quit);
        QObject::connect(&m_socket, &QTcpSocket::errorOccurred, &loop, &QEventLoop::quit);
        QObject::connect(&m_socket, &QTcpSocket::bytesWritten, &loop, &QEventLoop::quit);
        QObject::connect(&m_socket, &QTcpSocket::stateChanged, &loop, &QEventLoop::quit);
        if (m_socket.bytesAvailable() == 0)
            loop.exec();
    }
}

bool LineClient::waitForClose(int timeoutMs)
{
    waitUntil([this] { return m_socket.state() == QAbstractSocket::UnconnectedState; }, timeoutMs);
    pending();
    return m_socket.state() == QAbstractSocket::UnconnectedState;
}

QByteArray LineClient::pending()
{
    m_buffer += m_socket.readAll();
    return m_buffer;
}

QByteArray LineClient::takeAll()
{
    pending();
    return take(m_buffer.size());
}

void LineClient::disconnect()
{
    m_socket.disconnectFromHost();
    waitForClose();
}

QByteArray LineClient::take(qsizetype count)
{
    const QByteArray head = m_buffer.left(count);
    m_buffer.remove(0, count);
    return head;
}

qsizetype LineClient::multiLineEnd()
{
    const QByteArray &data = pending();
    // The status line may have been read already.
    if (data.startsWith(".\r\n"))
        return 3;
    if (data.startsWith("-ERR")) {
        const qsizetype lineEnd = data.indexOf("\r\n");
        return lineEnd >= 0 ? lineEnd + 2 : -1;
    }
    const qsizetype at = data.indexOf("\r\n.\r\n");
    return at >= 0 ? at + 5 : -1;
}
