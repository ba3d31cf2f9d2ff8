#pragma once

#include "PopState.h"

#include <QByteArray>
#include <QObject>

class modMain;
class Winsock;

// The POP3 front end: serves one client at a time on wskPop, which the entry
// point has already set listening (or tried to). Interprets each complete
// line with HandlePopCommand and sends the reply.
class PopFrontEnd : public QObject
{
    Q_OBJECT
public:
    PopFrontEnd(modMain &state, Winsock &wskPop, QObject *parent = nullptr);
    ~PopFrontEnd() override;

    // One command line (without CRLF) in, one reply text out (with its final
    // CRLF), no socket calls: the dialogue without a network. An accepted
    // QUIT answers "+OK" CRLF CRLF; RETR of a large message answers its
    // status line and leaves the download running for the connection.
    QByteArray HandlePopCommand(const QByteArray &line);

    PopState State() const;
    // Whether a large message is being fetched (tmRetrieve enabled).
    bool IsRetrieving() const;
    // The keep-alive interval of a large download (5000 ms unless changed).
    void SetRetrieveInterval(int milliseconds);

    // A client silent this long while the agent owes it nothing is told so
    // and disconnected, without an update phase: one silent client must not
    // keep the port from everybody else.
    static constexpr int PopIdleTimeoutMs = 10 * 60 * 1000; // RFC 1939's minimum auto-logout time
    // Tests shorten the limit through ZORVANE_TEST_POP_IDLE_MS (read once,
    // at creation) or through this setter; 0 or less restores the default.
    void SetIdleTimeout(int milliseconds);
    int IdleTimeout() const;

public slots:
    // Forgets the dialogue of a connection that is gone: held input, the
    // dialogue state and a running download. The watchdog's recovery of the
    // POP3 socket calls it; a new connection does the same by itself.
    void ResetDialogue();

private:
    struct Private;
    Private *d;
};
