#pragma once

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QPair>
#include <QString>

#include <functional>

class QTcpServer;
class QThread;

// A scripted HTTP server for tests: it listens on 127.0.0.1 at a free port,
// reads every request that arrives (on any number of connections, pipelined
// or one after another), records it, and plays the next scripted answer.
// Everything runs on the test's event loop; there are no threads and no
// sleeps, so wait for it with QSignalSpy / QTRY_* or its waitFor* helpers.
//
// Typical use:
//
//     FakeHttpPeer peer;
//     QVERIFY(peer.listen());
//     peer.enqueue(FakeHttpPeer::reply(207, "Multi-Status", body, {{"Content-Type", "text/xml"}}));
//     peer.enqueue(FakeHttpPeer::raw("HTTP/1.1 900 Moved\r\nLocation: http://x/\r\nContent-Length: 0\r\n\r\n"));
//     peer.enqueue(FakeHttpPeer::reply(200, "OK").send("").wait(50).close());
//     peer.enqueue(FakeHttpPeer::silence());               // read the request, never answer
//     peer.enqueue(FakeHttpPeer::raw(headersOnly).stall()); // begin the answer, then nothing
//     ... run the code under test against peer.url("/mail/") ...
//     QCOMPARE(peer.requests().at(0).verb, QByteArray("PROPFIND"));
//     QVERIFY(peer.scriptConsumed());
//
// Answers are taken from the queue in the order requests arrive. When the
// queue is empty the responder (if set) decides; without one the peer answers
// "500 Unscripted" and counts the request in unscriptedRequests().
//
// Code under test that blocks its own thread (a synchronous request) cannot
// be answered by a peer on that same thread: listenInOwnThread() runs the peer
// on a private thread instead. The script, the record and the waits below may
// then be used from the test's thread as before (the responder is called on
// the peer's thread).
class FakeHttpPeer : public QObject
{
    Q_OBJECT
public:
    using Headers = QList<QPair<QByteArray, QByteArray>>;

    // One request as it arrived.
    struct Request
    {
        QByteArray verb;    // "GET", "PROPFIND" ...
        QByteArray target;  // the request target exactly as sent: "/mail/inbox/?x=1"
        QByteArray version; // "HTTP/1.1"
        Headers headers;    // in the order received, values without surrounding blanks
        QByteArray body;    // de-chunked when sent chunked
        int connection = 0; // 1 for the first accepted connection, 2 for the next ...

        // The first header of that name (case-insensitive), empty if none.
        QByteArray header(const QByteArray &name) const;
        bool hasHeader(const QByteArray &name) const;
        // The target without its query.
        QByteArray path() const;
    };

    // What to do in answer to one request: a list of steps played in order.
    // Each builder returns the answer so steps chain:
    //     FakeHttpPeer::raw(head).wait(100).send(body).close()
    class Answer
    {
    public:
        struct Step
        {
            enum Kind { Send, Wait, Close, Reset, Stall };
            Kind kind = Send;
            QByteArray bytes;     // Send
            int milliseconds = 0; // Wait
        };

        // Writes the bytes as they are.
        Answer &send(const QByteArray &bytes);
        // Waits (on a timer, the event loop keeps running) before the next step.
        Answer &wait(int milliseconds);
        // Closes the connection gracefully once everything sent is flushed.
        Answer &close();
        // Drops the connection with a TCP reset (no graceful close).
        Answer &reset();
        // Stops here and keeps the connection open without ever going on,
        // unless the test calls resumeStalled().
        Answer &stall();

        QList<Step> steps;
    };

    // Ready-made answers.
    // An answer of exactly these bytes (status line with any code, headers, body).
    static Answer raw(const QByteArray &bytes);
    // "HTTP/1.1 <status> <reason>", the headers, a Content-Length of the body, the body.
    static Answer reply(int status, const QByteArray &reason, const QByteArray &body = QByteArray(),
                        const Headers &headers = Headers());
    // Reads the request and never answers; the connection stays open.
    static Answer silence();
    // Reads the request and closes the connection without a byte of answer.
    static Answer drop();
    // The Basic challenge: 401 with WWW-Authenticate: Basic realm="<realm>".
    static Answer basicChallenge(const QByteArray &realm, const QByteArray &body = QByteArray());

    using Responder = std::function<Answer(const Request &)>;

    explicit FakeHttpPeer(QObject *parent = nullptr);
    ~FakeHttpPeer() override;

    // Listens on 127.0.0.1 at a free port.
    bool listen();
    // The same, with the peer moved to a thread of its own (see above). The
    // object must have no parent; it is stopped and its thread joined when it
    // is destroyed.
    bool listenInOwnThread();
    quint16 port() const;
    // "http://127.0.0.1:<port>" followed by the path.
    QString url(const QString &path = QStringLiteral("/")) const;

    void enqueue(const Answer &answer);
    // Decides the answer for requests that find the queue empty.
    void setResponder(Responder responder);
    // Goes on with the connection that stalled last: plays these steps on it.
    // Returns false when no connection is stalled.
    bool resumeStalled(const Answer &rest);

    QList<Request> requests() const;
    int connectionCount() const;     // connections accepted so far
    int openConnectionCount() const; // of those, still open
    bool scriptConsumed() const;     // every enqueued answer has been used
    int unscriptedRequests() const;  // requests that found neither script nor responder

    // Wait (letting events run) until at least count requests / connections
    // have arrived; false on time-out. They return at once when already so.
    bool waitForRequests(int count, int timeoutMilliseconds = 10000);
    bool waitForConnections(int count, int timeoutMilliseconds = 10000);

    // Closes the listener and every connection.
    void shutdown();

signals:
    void connectionAccepted(int connection);
    void requestReceived(int index); // index into requests()
    void connectionClosed(int connection);

private:
    class Connection;
    friend class Connection;

    void acceptConnections();
    Answer answerFor(const Request &request);
    void recordRequest(Request request, Connection *connection);
    bool waitUntil(const std::function<bool()> &done, int timeoutMilliseconds);
    void runInPeerThread(const std::function<void()> &work);
    void closeEverything();

    mutable QMutex m_mutex; // guards what the test's thread reads while the peer runs elsewhere
    QThread *m_ownThread = nullptr;
    QTcpServer *m_server = nullptr;
    quint16 m_port = 0;
    QList<Request> m_requests;
    QList<Answer> m_script;
    Responder m_responder;
    QList<Connection *> m_connections;
    Connection *m_lastStalled = nullptr;
    int m_connectionCount = 0;
    int m_unscripted = 0;
};

// So answers can be columns of data-driven tests.
Q_DECLARE_METATYPE(FakeHttpPeer::Answer)
