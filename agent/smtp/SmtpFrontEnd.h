#pragma once

#include <QByteArray>
#include <QObject>

class modMain;
class Winsock;

// The SMTP front end: serves one client at a time on wskSmtp, which the entry
// point has already set listening (or tried to). Gathers the client's bytes
// into command texts or one whole message text, interprets each with
// HandleSmtpCommand and sends the reply. While the web mail session is busy
// with the POP3 side, input is held and interpreted once the session is idle
// or, at the latest, once the session wait limit has passed.
class SmtpFrontEnd : public QObject
{
    Q_OBJECT
public:
    SmtpFrontEnd(modMain &state, Winsock &wskSmtp, QObject *parent = nullptr);
    ~SmtpFrontEnd() override;

    // One command text in (a missing CRLF is supplied; in the message phase
    // the whole message text up to and including "\r\n.\r\n"), one reply out
    // with its CRLF, or "99" for an accepted QUIT. No socket calls.
    QByteArray HandleSmtpCommand(const QByteArray &line);

    // SmtpState: 0 awaiting HELO, 1 envelope, 2 message text, 99 closing.
    int DialogueState() const;
    // The account the dialogue is logged in with; empty when none.
    QString LoggedInAccount() const;

    // A client silent this long while the agent owes it nothing (a message
    // half sent included) gets a 421 and is disconnected; nothing of its
    // dialogue is submitted. One silent client must not hold the port.
    static constexpr int SmtpIdleTimeoutMs = 5 * 60 * 1000; // RFC 5321's shortest server time-out
    // Tests shorten the limit through ZORVANE_TEST_SMTP_IDLE_MS (read once,
    // at creation) or through this setter; 0 or less restores the default.
    void SetIdleTimeout(int milliseconds);
    int IdleTimeout() const;
    // How long held input waits for a session that the POP3 side uses
    // before it is answered; 0 or less restores SmtpDialogue's limit.
    void SetSessionWaitLimit(int milliseconds);
    int SessionWaitLimit() const;
public slots:
    // For the socket watchdog after it healed wskSmtp: forgets the bytes of
    // the lost connection and waits for HELO again.
    void ResetDialogue();

private:
    void onConnectionRequest(qintptr requestId);
    void onDataArrival();
    void onSendComplete();
    void onPeerClosed();
    bool takeWaitingInput();
    void dropFloodingClient();
    void interpretBufferedInput();
    void holdInputForSession();
    void stopWaitingForSession();
    void watchForIdleClient();
    void closeIdleConnection();
    bool SendSmtpReply(const QByteArray &text);

    struct Private;
    Private *d;
};
