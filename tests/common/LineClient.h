#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QTcpSocket>

#include <functional>

// A POP3 or SMTP client on a raw socket: sends bytes exactly as given and
// reads what arrives exactly as it arrives. Every wait runs the event loop,
// is bounded, and ends as soon as what it waits for is there.
class LineClient
{
public:
    // Generous: the agent may be retrying a request three times behind a reply.
    static constexpr int ReplyTimeoutMs = 60000;

    // Connects from the given local address (any when null).
    bool connectTo(quint16 port, const QHostAddress &from = QHostAddress());
    // Connects and reads the greeting, again and again until it comes: after
    // a client dropped, the agent's port takes connections it closes at once
    // until the watchdog has healed the socket.
    bool connectGreeted(quint16 port, const QByteArray &greeting, int timeoutMs = 30000);
    // Connects to the agent's POP3 port as connectGreeted does and logs in
    // as "user"; fails the running test where a reply differs.
    void logInPop(quint16 port, const QByteArray &password = "secret");
    void send(const QByteArray &bytes);
    // Writes the bytes in pieces of pieceBytes, keeping no more than a few
    // pieces queued, so the agent takes them in as many small arrivals.
    void sendInPieces(const QByteArray &bytes, qsizetype pieceBytes);
    // Sends line + CRLF and returns the next line (CRLF included), or what
    // arrived before the connection ended or the time ran out.
    QByteArray command(const QByteArray &line, int timeoutMs = ReplyTimeoutMs);
    // The same for bytes that carry their own line end (or none at all).
    QByteArray exchange(const QByteArray &bytes, int timeoutMs = ReplyTimeoutMs);
    // Sends line + CRLF and reads a multi-line reply.
    QByteArray multiLineCommand(const QByteArray &line, int timeoutMs = ReplyTimeoutMs);
    QByteArray readLine(int timeoutMs = ReplyTimeoutMs);
    // A POP3 multi-line reply up to and including its terminating line (a
    // "-ERR" status line alone when refused).
    QByteArray readMultiLine(int timeoutMs = ReplyTimeoutMs);
    // Waits until the received bytes hold needle; false when they never do.
    bool waitFor(const QByteArray &needle, int timeoutMs = ReplyTimeoutMs);
    // Waits until done() holds, waking whenever the socket has news (data,
    // bytes written, a change of state); false when the connection ended or
    // the time ran out first.
    bool waitUntil(const std::function<bool()> &done, int timeoutMs = ReplyTimeoutMs);
    // Waits until the agent closes the connection.
    bool waitForClose(int timeoutMs = ReplyTimeoutMs);

    // Everything received and not yet taken.
    QByteArray pending();
    QByteArray takeAll();
    bool isConnected() const { return m_socket.state() == QAbstractSocket::ConnectedState; }
    bool closedByPeer() const { return m_socket.state() == QAbstractSocket::UnconnectedState; }
    QTcpSocket &socket() { return m_socket; }
    // For closing the connection from another thread while this one is
    // blocked (by an agent running in the same thread).
    qintptr socketDescriptor() const { return m_socket.socketDescriptor(); }
    // Drops the connection with a reset, as a crashing client would.
    void abort() { m_socket.abort(); }
    void disconnect();

private:
    QByteArray take(qsizetype count);
    qsizetype multiLineEnd();

    QTcpSocket m_socket;
    QByteArray m_buffer;
};
