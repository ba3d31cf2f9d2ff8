#pragma once

#include "BusySessionWait.h"
#include "XmlDocument.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>

class modMain;

// The dialogue state the listener and the interpreter share.
enum class SmtpState : int {
    AwaitingHelo = 0, // connected and greeted (also the value while listening)
    Envelope = 1,     // after HELO: MAIL, RCPT and DATA accepted
    MessageText = 2,  // after DATA: every byte belongs to the message text
    Closing = 99,     // the QUIT reply went out; close when it has been sent
};

// The SMTP command interpreter: one command text (or, after DATA, one whole
// message text) in, one reply out. It never touches a socket; it keeps the
// envelope, logs in with the account named by the sender address and submits
// each message through the web mail session.
class SmtpDialogue
{
public:
    // The reply the listener turns into "221 Zorvane bye." and the close.
    static inline const QByteArray QuitAccepted = QByteArrayLiteral("99");

    // At least the 100 recipients a server must take, at most ten times
    // that, and at most this much envelope (its closing empty line
    // included): the service takes a message at the largest size together
    // with the largest envelope in one request.
    static constexpr int MaxRecipients = 1000;
    static constexpr qsizetype MaxEnvelopeBytes = 1024 * 1024;

    // A command that needs the web mail session while the POP3 side uses it
    // waits this long at most, then gets "451 Local error in processing".
    // A client's own wait for a reply is at least 5 minutes (RFC 5321).
    static constexpr int SessionWaitLimitMs = 2 * 60 * 1000;

    explicit SmtpDialogue(modMain &state);

    // A command text ends in CR LF (one is supplied when it is missing); it
    // may hold more than one line, and only its first four characters choose
    // the command. In the message phase the text is the whole message text up
    // to and including its end marker.
    QByteArray HandleSmtpCommand(QByteArray text);
    // What goes in front of the message text in the submission (the
    // envelope lines and an empty line), whole once DATA is accepted.
    const QByteArray &SubmissionHead() const { return SmtpEnvelope; }
    // The message phase with the message text already unstuffed and without
    // its end marker, as SmtpBuffer hands it over: after SubmissionHead().
    QByteArray HandleMessageText(QByteArray submission);

    // A message text above the size limit ended: nothing is submitted, the
    // envelope is dropped and the dialogue goes back to the envelope state.
    QByteArray RefuseOversizedMessage();

    // 0 or less: a command that finds the session busy is refused at once.
    void setSessionWaitLimit(int milliseconds) { m_sessionWaitMs = milliseconds; }
    int sessionWaitLimit() const { return m_sessionWaitMs; }

    SmtpState state() const { return m_state; }
    void setState(SmtpState state) { m_state = state; }
    // The account this dialogue logged in with (lower case); empty before a
    // login or after a HELO that starts afresh.
    const QString &loggedInAccount() const { return m_loggedInAccount; }

    // The address whose reachability HELO checks: any name will do in the
    // service's mail domain, the check is about the service.
    static QString ConnectionCheckAddress(const QString &mailDomain);

private:
    QByteArray handleAwaitingHelo(const QByteArray &word, const QByteArray &text);
    QByteArray handleEnvelope(const QByteArray &word, const QByteArray &text);
    QByteArray handleMessageText(const QByteArray &submission);
    void showSending();
    QByteArray runCommand(const std::function<QByteArray()> &handle);

    QByteArray checkServiceAndGreet();
    QByteArray senderStep(const QString &addressName);
    QByteArray loginForSending(const QString &account, const QString &password);
    bool envelopeHasRoomFor(const QByteArray &line) const;
    void clearEnvelope();
    QByteArray quit();
    QByteArray noop();
    QByteArray reset();
    QByteArray unknownCommand(const QByteArray &text);

    BusySessionWait::Outcome waitUntilSessionFree();
    QByteArray refuseForBusySession(BusySessionWait::Outcome outcome);
    void log(const QString &text);
    void log(const QByteArray &text);

    // Destroyed with the dialogue: a wait that lets events run ends when it
    // goes, and nothing of the dialogue is touched after that.
    QObject m_lifetime;
    modMain &m;
    SmtpState m_state = SmtpState::AwaitingHelo;
    QByteArray SmtpEnvelope;
    XmlDocument SmtpMailbox;
    QString m_loggedInAccount;
    int m_recipientCount = 0; // RCPT lines in SmtpEnvelope
    int m_sessionWaitMs = SessionWaitLimitMs;
};
