#include "PopFrontEnd.h"

#include "DurationText.h"
#include "ListenerReset.h"
#include "MessageDelivery.h"
#include "PopBuffer.h"
#include "PopInterpreter.h"
#include "WebMailSession.h"
#include "Winsock.h"
#include "XmlHttpRequest.h"
#include "modMain.h"

#include <QTimer>

namespace {
const QByteArray Greeting = QByteArrayLiteral("+OK Zorvane Welcome\r\n");
const QByteArray LineTooLongReply = QByteArrayLiteral("-ERR line too long\r\n");
const QByteArray IdleReply = QByteArrayLiteral("-ERR idle for too long, closing connection\r\n");
const QString LoopbackAddress = QStringLiteral("127.0.0.1");
const char IdleTimeoutVariable[] = "ZORVANE_TEST_POP_IDLE_MS";
} // namespace

struct PopFrontEnd::Private
{
    Private(PopFrontEnd *owner, modMain &agentState, Winsock &socket)
        : q(owner)
        , state(agentState)
        , wskPop(socket)
        , interpreter(agentState)
        , delivery(socket)
    {
    }

    void connectionRequest(qintptr requestId);
    void dataArrival();
    bool takeWaitingInput();
    bool clientBehind() const;
    void peerClosed();
    void recoverClosedConnection();
    void sendComplete();
    void processHeldInput();
    void interpretLine(const QByteArray &line);
    void answerOverlongLine();
    QByteArray handleCommand(const QByteArray &line);
    bool SendPopReply(const QByteArray &text);
    void downloadFinished(MessageDelivery::Outcome outcome);
    void endDownload();
    void abandonDownload(std::unique_ptr<XmlHttpRequest> download);
    void resetDialogue();
    void dropConnection();
    void abortConnection();
    void listenAgain();
    bool sessionBusy() const;
    void watchForIdleClient();
    void closeIdleConnection();

    PopFrontEnd *q;
    modMain &state;
    Winsock &wskPop;
    PopInterpreter interpreter;
    PopBuffer popBuffer;
    MessageDelivery delivery;
    bool interpreting = false; // a line is being interpreted further up the stack
    // Counts the dialogues: a command whose session operation let events run
    // may find, when it returns, that its connection was replaced meanwhile.
    quint64 dialogueSerial = 0;
    bool quitAccepted = false; // the QUIT reply is out; nothing more is read
    bool peerGone = false;     // a reply found the client closed; the connection ends after its lines
    // Runs only while the agent waits for the client: stopped by every byte
    // received, started again once everything received has been answered.
    QTimer idleTimer;
};

PopFrontEnd::PopFrontEnd(modMain &state, Winsock &wskPop, QObject *parent)
    : QObject(parent)
    , d(new Private(this, state, wskPop))
{
    connect(&wskPop, &Winsock::ConnectionRequest, this, [this](qintptr id) { d->connectionRequest(id); });
    connect(&wskPop, &Winsock::DataArrival, this, [this] { d->dataArrival(); });
    connect(&wskPop, &Winsock::SendComplete, this, [this] { d->sendComplete(); });
    connect(&wskPop, &Winsock::PeerClosed, this, [this] { d->peerClosed(); });
    // Lines held while the client was behind with reading are answered as
    // it catches up.
    connect(&wskPop, &Winsock::SendProgress, this, [this] {
        if (!d->clientBehind())
            d->processHeldInput();
    });
    d->idleTimer.setSingleShot(true);
    SetIdleTimeout(qEnvironmentVariableIntValue(IdleTimeoutVariable));
    connect(&d->idleTimer, &QTimer::timeout, this, [this] { d->closeIdleConnection(); });
    connect(&d->delivery, &MessageDelivery::Finished, this,
            [this](MessageDelivery::Outcome outcome) { d->downloadFinished(outcome); });
    // Input held while the session served the SMTP side is looked at as soon
    // as the session is free. Idle comes from the event loop, never from
    // inside an operation, and processHeldInput looks again whether the
    // session is free (the other side's handler may have taken it first).
    if (state.MailSession)
        connect(state.MailSession, &WebMailSession::Idle, this, [this] { d->processHeldInput(); });
}

PopFrontEnd::~PopFrontEnd()
{
    if (d->delivery.Abort() && d->state.MailSession)
        d->state.MailSession->AsyncDownloadFinished();
    delete d;
}

QByteArray PopFrontEnd::HandlePopCommand(const QByteArray &line)
{
    return d->handleCommand(line);
}

PopState PopFrontEnd::State() const
{
    return d->interpreter.State();
}

bool PopFrontEnd::IsRetrieving() const
{
    return d->delivery.IsActive();
}

void PopFrontEnd::SetRetrieveInterval(int milliseconds)
{
    d->delivery.RetrieveTimer().setInterval(milliseconds);
}

void PopFrontEnd::SetIdleTimeout(int milliseconds)
{
    d->idleTimer.setInterval(milliseconds > 0 ? milliseconds : PopIdleTimeoutMs);
}

int PopFrontEnd::IdleTimeout() const
{
    return d->idleTimer.interval();
}

void PopFrontEnd::ResetDialogue()
{
    d->resetDialogue();
}

bool PopFrontEnd::Private::sessionBusy() const
{
    return state.MailSession && state.MailSession->IsBusy();
}

void PopFrontEnd::Private::connectionRequest(qintptr requestId)
{
    const QString host = wskPop.RemoteHost();
    const QString address = wskPop.RemoteHostIP();
    ListenerReset::CloseAndWait(wskPop);
    state.Screen.appendRaw(QStringLiteral("\r\n--New POP3 dialog--\r\n"));
    const QString who =
        QStringLiteral("Connection request from ") + host + QLatin1Char('(') + address + QLatin1Char(')');

    if ((state.Options().LocalhostOnly() && address != LoopbackAddress)
        || !state.SameUser.Admits(state, wskPop, requestId)) {
        listenAgain();
        state.AddLogLine(who + QStringLiteral(" rejected."));
        return;
    }
    // Whatever the last connection left behind belongs to it, not to this one.
    resetDialogue();
    if (!wskPop.Accept(requestId) || !wskPop.SendData(Greeting)) {
        state.AddLogLine(who + QStringLiteral(" failed: ") + wskPop.LastErrorDescription());
        dropConnection();
        return;
    }
    state.AddLogLine(who + QStringLiteral(" accepted."));
    watchForIdleClient();
}

void PopFrontEnd::Private::dataArrival()
{
    idleTimer.stop();
    if (takeWaitingInput())
        processHeldInput();
}

// Moves what the client sent into the held input. False when that closed
// the connection: a client that floods is not waiting for our replies.
bool PopFrontEnd::Private::takeWaitingInput()
{
    const QByteArray bytes = wskPop.GetData();
    if (bytes.isEmpty() || popBuffer.append(bytes))
        return true;
    state.AddLogLine(QStringLiteral("POP3-ERR: Too much input without waiting for replies; connection closed."));
    dropConnection();
    return false;
}

// Whether the client has left so much of our replies unread that no more
// are added: its lines wait (up to the held-input limit) until it reads.
bool PopFrontEnd::Private::clientBehind() const
{
    return wskPop.State() == Winsock::sckConnected && wskPop.BytesToWrite() > MessageDelivery::MaxQueuedToClientBytes;
}

// The client closed without QUIT. What it sent before is still
// interpreted; a download for it is of no use to anyone. Then the port
// listens again at once, not at the watchdog's next tick.
void PopFrontEnd::Private::peerClosed()
{
    if (wskPop.State() != Winsock::sckClosing)
        return;
    if (delivery.Abort())
        endDownload();
    processHeldInput();
}

void PopFrontEnd::Private::recoverClosedConnection()
{
    if (state.LogToFile)
        state.LogEntry(QStringLiteral("POP3! Trying to recover..."));
    dropConnection();
}

// Interprets every complete line, one at a time, unless something must run
// to its end first: a line further up the stack, a large download, an
// operation of the SMTP side, or a client that has not read our replies.
// Each of those comes back here when it is done.
// Before each line the connection is asked for what came meanwhile, so a
// line that arrived while a command waited for the service is answered as
// soon as that command is. Lines of a client that has closed meanwhile are
// still interpreted (a QUIT still runs the update phase); their replies find
// no connection.
void PopFrontEnd::Private::processHeldInput()
{
    if (interpreting || quitAccepted || delivery.IsActive() || sessionBusy())
        return;
    interpreting = true;
    QByteArray line;
    while (!quitAccepted && !delivery.IsActive() && !sessionBusy() && !clientBehind()) {
        if (!takeWaitingInput())
            break;
        const PopBuffer::Next next = popBuffer.takeNext(&line);
        if (next == PopBuffer::Next::Nothing)
            break;
        if (next == PopBuffer::Next::TooLong)
            answerOverlongLine();
        else
            interpretLine(line);
    }
    interpreting = false;
    const bool nothingRunning = !delivery.IsActive() && !sessionBusy();
    if (nothingRunning && peerGone)
        abortConnection();
    else if (nothingRunning && wskPop.State() == Winsock::sckClosing)
        recoverClosedConnection();
    else
        watchForIdleClient();
}

// Starts the idle clock when the agent has answered everything it received
// and now waits for the client, to send or to read. While a download runs,
// or while lines wait for the session to serve the SMTP side, the agent owes
// the client a reply, and whatever finishes that work comes back through
// processHeldInput.
void PopFrontEnd::Private::watchForIdleClient()
{
    const bool inputHeld = sessionBusy() && !popBuffer.isEmpty();
    if (wskPop.State() != Winsock::sckConnected || interpreting || quitAccepted || peerGone || delivery.IsActive()
        || inputHeld)
        return;
    idleTimer.start();
}

// Only what the client did is given up: marks of the dialogue are never
// carried out without QUIT.
void PopFrontEnd::Private::closeIdleConnection()
{
    if (interpreting || delivery.IsActive())
        return; // busy for this client after all; the clock starts again when done
    if (wskPop.State() == Winsock::sckConnected)
        SendPopReply(IdleReply);
    state.AddLogLine(QStringLiteral("POP3-Connection idle for %1, closed.").arg(DurationText(idleTimer.interval())));
    dropConnection();
}

void PopFrontEnd::Private::answerOverlongLine()
{
    state.AddLogLine(
        QStringLiteral("POP3-ERR: Command line longer than %1 bytes dropped.").arg(PopBuffer::MaxCommandLineBytes));
    SendPopReply(LineTooLongReply);
}

void PopFrontEnd::Private::interpretLine(const QByteArray &line)
{
    const quint64 serial = dialogueSerial;
    PopInterpreter::Result result = interpreter.Handle(line);
    if (serial != dialogueSerial) {
        // The client that sent this line went away while it was handled, and
        // the port may already carry the next client: nothing of this
        // command may reach that one, neither its reply nor its state.
        abandonDownload(std::move(result.download));
        interpreter.ResetDialogue();
        return;
    }
    if (result.quit) {
        if (SendPopReply(result.reply)) {
            quitAccepted = true;
            interpreter.SetQuitSent();
        } else if (peerGone) {
            quitAccepted = true; // nothing after QUIT is read
        }
        return;
    }
    if (!SendPopReply(result.reply)) {
        abandonDownload(std::move(result.download));
        return;
    }
    if (result.download)
        delivery.Start(std::move(result.download));
}

QByteArray PopFrontEnd::Private::handleCommand(const QByteArray &line)
{
    PopInterpreter::Result result = interpreter.Handle(line);
    if (result.download)
        delivery.Start(std::move(result.download));
    return result.reply;
}

bool PopFrontEnd::Private::SendPopReply(const QByteArray &text)
{
    const int socketState = wskPop.State();
    if (socketState == Winsock::sckConnected) {
        if (text.isEmpty())
            return true;
        if (state.LogToFile)
            state.LogEntry("POP3< " + text);
        return wskPop.SendData(text);
    }
    if (state.LogToFile)
        state.LogEntry(QStringLiteral("POP3! Error: ") + QString::number(socketState));
    if (socketState == Winsock::sckClosing) {
        // The client has closed. What it sent before is still interpreted
        // (a QUIT still runs the update phase); then the connection ends.
        peerGone = true;
        return false;
    }
    abortConnection();
    return false;
}

void PopFrontEnd::Private::abortConnection()
{
    dropConnection();
    state.AddLogLine(QStringLiteral("Operation aborted."));
}

// The QUIT reply has gone: the dialogue is over, the port listens again.
void PopFrontEnd::Private::sendComplete()
{
    if (interpreter.State() != PopState::QuitSent)
        return;
    ListenerReset::CloseAndWait(wskPop);
    resetDialogue();
    listenAgain();
    state.AddLogLine(QString());
}

void PopFrontEnd::Private::downloadFinished(MessageDelivery::Outcome outcome)
{
    endDownload();
    switch (outcome) {
    case MessageDelivery::Outcome::Delivered:
        // Commands that came in meanwhile are answered now, without
        // waiting for the client to send more.
        QMetaObject::invokeMethod(
            q, [this] { processHeldInput(); }, Qt::QueuedConnection);
        break;
    case MessageDelivery::Outcome::Failed:
        // Ending without the terminating line tells the client the
        // retrieval failed, so it keeps the message on the server.
        state.AddLogLine(QStringLiteral("POP3-ERR: Message retrieval failed"));
        dropConnection();
        break;
    case MessageDelivery::Outcome::ClientGone:
        break;
    }
}

void PopFrontEnd::Private::endDownload()
{
    state.TrayData.setAndApply(TrayStatus::Icon::Program, TrayStatus::Idle);
    if (state.MailSession)
        state.MailSession->AsyncDownloadFinished();
}

void PopFrontEnd::Private::abandonDownload(std::unique_ptr<XmlHttpRequest> download)
{
    if (!download)
        return;
    download->abort();
    download.reset();
    endDownload();
}

void PopFrontEnd::Private::resetDialogue()
{
    idleTimer.stop();
    ++dialogueSerial;
    if (delivery.Abort())
        endDownload();
    popBuffer.clear();
    interpreter.ResetDialogue();
    quitAccepted = false;
    peerGone = false;
}

// Closes the connection without a word and listens again.
void PopFrontEnd::Private::dropConnection()
{
    ListenerReset::CloseAndWait(wskPop);
    resetDialogue();
    listenAgain();
}

void PopFrontEnd::Private::listenAgain()
{
    if (wskPop.State() == Winsock::sckListening)
        return;
    if (!wskPop.Listen())
        state.AddLogLine(QStringLiteral("POP3-ERR: Cannot listen on port %1 again: %2")
                             .arg(wskPop.LocalPort())
                             .arg(wskPop.LastErrorDescription()));
}
