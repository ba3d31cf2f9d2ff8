#include "SmtpFrontEnd.h"

#include "DurationText.h"
#include "ListenerReset.h"
#include "SmtpBuffer.h"
#include "SmtpDialogue.h"
#include "WebMailSession.h"
#include "Winsock.h"
#include "modMain.h"

#include <QPointer>
#include <QTimer>

namespace {

const QByteArray Greeting = QByteArrayLiteral("220 Zorvane Simple Mail Transfer Service Ready\r\n");
const QByteArray Bye = QByteArrayLiteral("221 Zorvane bye.\r\n\r\n");
const QByteArray LineTooLong = QByteArrayLiteral("500 Line too long\r\n");
const QByteArray IdleReply = QByteArrayLiteral("421 Zorvane idle for too long, closing connection\r\n");
const char IdleTimeoutVariable[] = "ZORVANE_TEST_SMTP_IDLE_MS";
const QString LocalHostAddress = QStringLiteral("127.0.0.1");

QByteArray textAfterFirstLine(const QByteArray &text)
{
    const qsizetype end = text.indexOf("\r\n");
    return end < 0 ? QByteArray() : text.mid(end + 2);
}

} // namespace

struct SmtpFrontEnd::Private
{
    Private(modMain &state, Winsock &socket)
        : m(state)
        , wskSmtp(socket)
        , dialogue(state)
    {
    }

    void closeUntilClosed() { ListenerReset::CloseAndWait(wskSmtp); }

    bool sessionBusy() const { return m.MailSession && m.MailSession->IsBusy(); }

    // Listens again; a port that cannot be had is logged, and the socket
    // watchdog tries it again at every tick.
    void listenAgain()
    {
        if (wskSmtp.State() == Winsock::sckListening || wskSmtp.Listen())
            return;
        m.AddLogLine(QStringLiteral("SMTP-ERR: Cannot listen on port %1 again: %2")
                         .arg(wskSmtp.LocalPort())
                         .arg(wskSmtp.LastErrorDescription()));
    }

    modMain &m;
    Winsock &wskSmtp;
    SmtpDialogue dialogue;
    SmtpBuffer smtpBuffer; // SmtpBuffer
    // A hand-over is running; bytes that arrive meanwhile wait for its end.
    bool interpreting = false;
    // Counts accepted connections, so a reply of a connection that was lost
    // and replaced while its command ran is not sent to the next client.
    quint64 connectionNumber = 0;
    QPointer<WebMailSession> watchedSession;
    // Runs while input is held for a busy session; when it fires, the held
    // input is answered without waiting any longer.
    QTimer sessionWaitTimer;
    bool sessionWaitOver = false;
    // Runs only while the agent waits for the client: stopped by every byte
    // received, started again once everything received has been answered.
    QTimer idleTimer;
};

SmtpFrontEnd::SmtpFrontEnd(modMain &state, Winsock &wskSmtp, QObject *parent)
    : QObject(parent)
    , d(new Private(state, wskSmtp))
{
    connect(&wskSmtp, &Winsock::ConnectionRequest, this, &SmtpFrontEnd::onConnectionRequest);
    connect(&wskSmtp, &Winsock::DataArrival, this, &SmtpFrontEnd::onDataArrival);
    connect(&wskSmtp, &Winsock::SendComplete, this, &SmtpFrontEnd::onSendComplete);
    connect(&wskSmtp, &Winsock::PeerClosed, this, &SmtpFrontEnd::onPeerClosed);
    d->idleTimer.setSingleShot(true);
    SetIdleTimeout(qEnvironmentVariableIntValue(IdleTimeoutVariable));
    connect(&d->idleTimer, &QTimer::timeout, this, &SmtpFrontEnd::closeIdleConnection);
    d->sessionWaitTimer.setSingleShot(true);
    SetSessionWaitLimit(0);
    connect(&d->sessionWaitTimer, &QTimer::timeout, this, &SmtpFrontEnd::stopWaitingForSession);
}

SmtpFrontEnd::~SmtpFrontEnd()
{
    delete d;
}

QByteArray SmtpFrontEnd::HandleSmtpCommand(const QByteArray &line)
{
    return d->dialogue.HandleSmtpCommand(line);
}

int SmtpFrontEnd::DialogueState() const
{
    return int(d->dialogue.state());
}

QString SmtpFrontEnd::LoggedInAccount() const
{
    return d->dialogue.loggedInAccount();
}

void SmtpFrontEnd::SetIdleTimeout(int milliseconds)
{
    d->idleTimer.setInterval(milliseconds > 0 ? milliseconds : SmtpIdleTimeoutMs);
}

int SmtpFrontEnd::IdleTimeout() const
{
    return d->idleTimer.interval();
}

void SmtpFrontEnd::SetSessionWaitLimit(int milliseconds)
{
    d->sessionWaitTimer.setInterval(milliseconds > 0 ? milliseconds : SmtpDialogue::SessionWaitLimitMs);
}

int SmtpFrontEnd::SessionWaitLimit() const
{
    return d->sessionWaitTimer.interval();
}

void SmtpFrontEnd::ResetDialogue()
{
    // A reply of the dialogue that ends here, still being worked out further
    // up the stack, must not reach whoever comes next.
    ++d->connectionNumber;
    d->idleTimer.stop();
    d->sessionWaitTimer.stop();
    d->smtpBuffer.clear();
    d->dialogue.setState(SmtpState::AwaitingHelo);
}

void SmtpFrontEnd::onConnectionRequest(qintptr requestId)
{
    d->closeUntilClosed();
    d->m.Screen.appendRaw(QStringLiteral("\r\n--New SMTP dialog--\r\n"));

    const QString peer = d->wskSmtp.RemoteHost() + QLatin1Char('(') + d->wskSmtp.RemoteHostIP() + QLatin1Char(')');
    if ((d->m.Options().LocalhostOnly() && d->wskSmtp.RemoteHostIP() != LocalHostAddress)
        || !d->m.SameUser.Admits(d->m, d->wskSmtp, requestId)) {
        d->listenAgain();
        d->m.AddLogLine(QStringLiteral("Connection request from ") + peer + QStringLiteral(" rejected."));
        return;
    }

    const bool accepted = d->wskSmtp.Accept(requestId);
    // Nothing of an earlier connection belongs to this one.
    ResetDialogue();
    if (!accepted || !d->wskSmtp.SendData(Greeting)) {
        // The client went before it could be greeted.
        d->m.AddLogLine(QStringLiteral("Connection request from ") + peer + QStringLiteral(" failed: ")
                        + d->wskSmtp.LastErrorDescription());
        d->closeUntilClosed();
        d->listenAgain();
        return;
    }
    d->m.AddLogLine(QStringLiteral("Connection request from ") + peer);
    watchForIdleClient();
}

void SmtpFrontEnd::onDataArrival()
{
    d->idleTimer.stop();
    if (takeWaitingInput())
        interpretBufferedInput();
}

// Moves what the client sent into SmtpBuffer. False when that closed the
// connection.
bool SmtpFrontEnd::takeWaitingInput()
{
    for (QByteArray bytes = d->wskSmtp.GetData(); !bytes.isEmpty(); bytes = d->wskSmtp.GetData()) {
        if (!d->smtpBuffer.append(bytes)) {
            dropFloodingClient();
            return false;
        }
        if (d->smtpBuffer.phase() == SmtpBuffer::Phase::Message && !d->smtpBuffer.messageComplete())
            d->m.AddLogLine(QStringLiteral("  ... receiving"));
    }
    return true;
}

// A client that sends on while its replies are held is not waiting for
// them: it goes, and the port serves the next client at once rather than
// after the idle limit.
void SmtpFrontEnd::dropFloodingClient()
{
    d->closeUntilClosed();
    ResetDialogue();
    d->listenAgain();
    d->m.AddLogLine(QStringLiteral("SMTP-ERR: Too much input without waiting for replies; connection closed."));
}

// Hands every whole command text or message text to the interpreter in turn
// and sends the replies; holds the input while the session serves the POP3
// side. Before each text the connection is asked for what came meanwhile,
// so a command that arrived while the one before waited for the service is
// answered as soon as that one is.
void SmtpFrontEnd::interpretBufferedInput()
{
    if (d->interpreting)
        return;
    d->interpreting = true;
    const QPointer<SmtpFrontEnd> self(this);

    for (;;) {
        if (!takeWaitingInput())
            break;
        if (d->sessionBusy() && !d->sessionWaitOver) {
            holdInputForSession();
            break;
        }
        d->sessionWaitTimer.stop();

        QByteArray text;
        const SmtpBuffer::Take taken = d->smtpBuffer.take(&text);
        if (taken == SmtpBuffer::Take::Incomplete)
            break;

        if (taken == SmtpBuffer::Take::TooLong) {
            d->m.AddLogLine(QStringLiteral("SMTP-ERR: Command line too long; dropped."));
            SendSmtpReply(LineTooLong);
            continue;
        }
        if (taken == SmtpBuffer::Take::TooLarge) {
            SendSmtpReply(d->dialogue.RefuseOversizedMessage());
            continue;
        }

        const quint64 connection = d->connectionNumber;
        const bool commandPhase = d->dialogue.state() != SmtpState::MessageText;
        // A client may send its message with the DATA line, not waiting for
        // the 354: what follows that line begins the message.
        const QByteArray afterFirstLine = commandPhase ? textAfterFirstLine(text) : QByteArray();
        d->dialogue.setSessionWaitLimit(d->sessionWaitOver ? 0 : d->sessionWaitTimer.interval());
        const QByteArray reply = commandPhase ? d->dialogue.HandleSmtpCommand(std::move(text))
                                              : d->dialogue.HandleMessageText(std::move(text));
        if (!self)
            return; // the front end went while the command waited
        // A client that went away while its message was submitted never
        // hears the verdict; the log keeps it.
        const bool replaced = connection != d->connectionNumber;
        if (!commandPhase && (replaced || d->wskSmtp.State() != Winsock::sckConnected))
            d->m.AddLogLine(QStringLiteral("SMTP-ERR: The client left before the reply to its message: ")
                            + QString::fromUtf8(reply.trimmed()));
        if (replaced) {
            // Another client may be here already: nothing of this command
            // reaches it.
            d->dialogue.setState(SmtpState::AwaitingHelo);
            continue;
        }
        if (commandPhase && reply == SmtpDialogue::QuitAccepted) {
            if (SendSmtpReply(Bye))
                d->dialogue.setState(SmtpState::Closing);
        } else {
            SendSmtpReply(reply);
        }
        if (d->dialogue.state() == SmtpState::MessageText && d->smtpBuffer.phase() == SmtpBuffer::Phase::Command)
            d->smtpBuffer.beginMessage(afterFirstLine, d->dialogue.SubmissionHead());
    }

    d->sessionWaitOver = false;
    d->interpreting = false;
    if (d->wskSmtp.State() == Winsock::sckClosing)
        onPeerClosed();
    else
        watchForIdleClient();
}

// The session's Idle brings the held input back; a reply is owed, so the
// wait for it is bounded.
void SmtpFrontEnd::holdInputForSession()
{
    if (d->watchedSession != d->m.MailSession) {
        d->watchedSession = d->m.MailSession;
        // Queued: the held input runs from the event loop, not in the
        // middle of whatever made the session idle.
        connect(d->m.MailSession, &WebMailSession::Idle, this, &SmtpFrontEnd::interpretBufferedInput,
                Qt::QueuedConnection);
    }
    if (!d->smtpBuffer.isEmpty() && !d->sessionWaitTimer.isActive())
        d->sessionWaitTimer.start();
}

// The held input is answered now: whatever needs the session gets "451
// Local error in processing", the rest its usual reply.
void SmtpFrontEnd::stopWaitingForSession()
{
    if (d->interpreting)
        return; // the running hand-over answers it
    d->sessionWaitOver = true;
    interpretBufferedInput();
}

// Starts the idle clock when the agent has answered everything it received
// and now waits for the client. Input held while the session serves the
// POP3 side is owed a reply; the session's Idle brings it back here.
void SmtpFrontEnd::watchForIdleClient()
{
    const bool inputHeld = d->sessionBusy() && !d->smtpBuffer.isEmpty();
    if (d->wskSmtp.State() != Winsock::sckConnected || d->interpreting || inputHeld
        || d->dialogue.state() == SmtpState::Closing)
        return;
    d->idleTimer.start();
}

// The envelope and any part of a message received are dropped unsent.
void SmtpFrontEnd::closeIdleConnection()
{
    if (d->interpreting)
        return; // busy for this client after all; the clock starts again when done
    if (d->wskSmtp.State() == Winsock::sckConnected)
        SendSmtpReply(IdleReply);
    d->m.AddLogLine(QStringLiteral("SMTP-Connection idle for %1, closed.").arg(DurationText(d->idleTimer.interval())));
    d->closeUntilClosed();
    ResetDialogue();
    d->listenAgain();
}

// A client that left without QUIT: what it had sent whole was taken before
// this notice. The port serves the next client at once rather than at the
// watchdog's next look; the envelope, any part of a message and input held
// for a busy session go unsent (the client never had a 250 for them). A
// command still running finishes first and comes back here.
void SmtpFrontEnd::onPeerClosed()
{
    if (d->interpreting || d->wskSmtp.State() != Winsock::sckClosing)
        return;
    if (d->m.LogToFile)
        d->m.LogEntry(QStringLiteral("SMTP! The client closed the connection."));
    d->closeUntilClosed();
    ResetDialogue();
    d->listenAgain();
}

void SmtpFrontEnd::onSendComplete()
{
    if (d->dialogue.state() != SmtpState::Closing)
        return;
    d->closeUntilClosed();
    ResetDialogue();
    d->listenAgain();
    d->m.AddLogLine(QString());
}

bool SmtpFrontEnd::SendSmtpReply(const QByteArray &text)
{
    if (d->wskSmtp.State() == Winsock::sckConnected) {
        if (d->m.LogToFile)
            d->m.LogEntry("SMTP< " + text);
        if (text.isEmpty() || d->wskSmtp.SendData(text))
            return true;
    }

    // The connection is gone, or the reply could not be handed to it.
    if (d->m.LogToFile)
        d->m.LogEntry(QStringLiteral("SMTP! Error: ") + QString::number(d->wskSmtp.State()));
    d->closeUntilClosed();
    d->listenAgain();
    ResetDialogue();
    d->m.AddLogLine(QStringLiteral("Operation aborted."));
    return false;
}
