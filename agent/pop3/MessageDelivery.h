#pragma once

#include "StuffedStream.h"

#include <QByteArray>
#include <QObject>
#include <QTimer>

#include <memory>

class Winsock;
class XmlHttpRequest;

// The background path of RETR for a large message. The status line has
// already gone out; until the message text begins to arrive the client
// receives a keep-alive header line at every tick of tmRetrieve. The text goes
// on to the client (stuffed) piece by piece as it arrives, once the answer is
// known to be the message and not an error page, and the terminating line
// follows when the download is complete. The text goes on only while the
// client keeps up with reading; meanwhile the download waits for it. While
// this is active the front end holds every command the client sends.
class MessageDelivery : public QObject
{
    Q_OBJECT
public:
    // tmRetrieve: the longest silence the client sees while a large message
    // is being fetched.
    static constexpr int KeepAliveIntervalMs = 5000;
    static inline const QByteArray KeepAliveLine = QByteArrayLiteral("X-zorvane: busy...\r\n");
    // Bytes queued towards the client at most before the agent stops adding
    // to them (the message text here, replies in the front end) until the
    // client has read: a client that reads slowly, or not at all, must not
    // make the agent hold what it has not read.
    static constexpr qint64 MaxQueuedToClientBytes = 2 * 1024 * 1024;
    // What the download holds for us at most while the client is behind:
    // above it the download stops taking from the service until the client
    // has read (one piece of this, stuffed, may go beyond the limit above).
    static constexpr qint64 ReceiveWindowBytes = 256 * 1024;

    enum class Outcome {
        Delivered,  // the message and its terminating line are on their way
        Failed,     // the service did not deliver the whole message; no terminating line was sent
        ClientGone, // the connection ended first; the download was abandoned
    };
    Q_ENUM(Outcome)

    explicit MessageDelivery(Winsock &wskPop, QObject *parent = nullptr);
    ~MessageDelivery() override;

    // Takes over the running download; call after the status line was sent.
    void Start(std::unique_ptr<XmlHttpRequest> download);
    // tmRetrieve is enabled exactly while a download is in progress.
    bool IsActive() const;
    // Stops the timer and abandons the download (the client has gone).
    // Returns whether one was running; Finished is not emitted.
    bool Abort();
    QTimer &RetrieveTimer() { return m_tmRetrieve; }

signals:
    void Finished(MessageDelivery::Outcome outcome);

private:
    void tmRetrieveTick();
    void downloadStateChanged(int readyState);
    void forwardArrivedText();
    bool answerIsMessage() const;
    bool clientBehind() const;
    void completeIfDone();
    void dropDownload();
    bool clientConnected() const;

    Winsock &m_wskPop;
    QTimer m_tmRetrieve;
    std::unique_ptr<XmlHttpRequest> m_download;
    StuffedStream m_text;
};
