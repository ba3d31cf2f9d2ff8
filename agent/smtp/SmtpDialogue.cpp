#include "SmtpDialogue.h"

#include "CommandText.h"
#include "EnvelopeLine.h"
#include "SettingsStore.h"
#include "StoredTexts.h"
#include "TrayStatus.h"
#include "UnstuffData.h"
#include "WebMailSession.h"
#include "modMain.h"

#include <QPointer>

#include <cstring>

namespace {

const QByteArray LineEnd = QByteArrayLiteral("\r\n");

namespace Reply {
const QByteArray Greeted = QByteArrayLiteral("250 Zorvane\r\n");
const QByteArray Ok = QByteArrayLiteral("250 OK\r\n");
const QByteArray StartMailInput = QByteArrayLiteral("354 Start mail input; end with <CRLF>.<CRLF>\r\n");
const QByteArray MailboxUnavailable = QByteArrayLiteral("550 Requested action not taken: mailbox unavailable\r\n");
const QByteArray NotImplemented = QByteArrayLiteral("502 Command not implemented\r\n");
const QByteArray Unrecognized = QByteArrayLiteral("500 Unrecognized command\r\n");
const QByteArray SyntaxError = QByteArrayLiteral("501 Syntax error in parameters or arguments\r\n");
const QByteArray NoValidUser = QByteArrayLiteral("451 No valid user name. Receive first, then try again.\r\n");
const QByteArray ForbiddenByProxy = QByteArrayLiteral("451 Command forbidden by proxy server\r\n");
const QByteArray ServiceUnavailable = QByteArrayLiteral("451 Service temporarily unavailable\r\n");
const QByteArray AuthenticationFailed = QByteArrayLiteral("450 authentication failed\r\n");
const QByteArray LocalError = QByteArrayLiteral("451 Local error in processing\r\n");
const QByteArray TooManyRecipients = QByteArrayLiteral("452 Too many recipients\r\n");
const QByteArray EnvelopeFull = QByteArrayLiteral("452 Requested action not taken: insufficient system storage\r\n");
const QByteArray TooLarge = QByteArrayLiteral("552 Message size exceeds fixed maximum message size\r\n");
} // namespace Reply

const QString AccountSection = QStringLiteral("AccountInfo");

// "AUTH" SP mechanism [SP initial-response]: whatever follows the mechanism
// (further lines too) may carry credentials, and never reaches a log.
QByteArray withCredentialsMasked(const QByteArray &commandText)
{
    if (commandText.left(4).toUpper() != "AUTH")
        return commandText;
    const auto isBreak = [](char c) { return c == '\r' || c == '\n'; };
    qsizetype at = 4;
    while (at < commandText.size() && CommandText::IsBlank(commandText.at(at)))
        ++at;
    while (at < commandText.size() && !CommandText::IsBlank(commandText.at(at)) && !isBreak(commandText.at(at)))
        ++at;
    const qsizetype lineEnd = commandText.endsWith(LineEnd) ? 2 : commandText.endsWith('\n') ? 1 : 0;
    const QByteArray rest = commandText.mid(at, commandText.size() - lineEnd - at);
    if (rest.trimmed().isEmpty())
        return commandText;
    return commandText.left(at) + " ********" + commandText.right(lineEnd);
}

// The envelope lines followed by the message, in the buffer the message
// came in: the message moves up by the envelope's length, so a large message
// is held once rather than once more beside its copy.
QByteArray submissionText(const QByteArray &envelope, QByteArray message)
{
    const qsizetype messageLength = message.size();
    message.resize(messageLength + envelope.size());
    char *data = message.data();
    std::memmove(data + envelope.size(), data, size_t(messageLength));
    std::memcpy(data, envelope.constData(), size_t(envelope.size()));
    return message;
}

} // namespace

SmtpDialogue::SmtpDialogue(modMain &state)
    : m(state)
{
}

QString SmtpDialogue::ConnectionCheckAddress(const QString &mailDomain)
{
    return QStringLiteral("smtp-check@") + mailDomain;
}

QByteArray SmtpDialogue::HandleSmtpCommand(QByteArray text)
{
    showSending();
    const bool commandPhase = m_state != SmtpState::MessageText;
    if (m.LogToFile)
        m.LogEntry("SMTP> " + (commandPhase ? withCredentialsMasked(text) : text));
    if (!commandPhase)
        return runCommand(
            [&] { return handleMessageText(submissionText(SmtpEnvelope, UnstuffData(std::move(text)))); });
    return runCommand([&] {
        // A line the client ended with a bare LF keeps it.
        if (!text.endsWith('\n'))
            text.append(LineEnd);
        const QByteArray word = text.left(4).toUpper();
        if (m_state == SmtpState::AwaitingHelo)
            return handleAwaitingHelo(word, text);
        return m_state == SmtpState::Envelope ? handleEnvelope(word, text) : QByteArray();
    });
}

QByteArray SmtpDialogue::HandleMessageText(QByteArray submission)
{
    const bool headInFront = submission.startsWith(SmtpEnvelope);
    const QByteArrayView message = QByteArrayView(submission).sliced(headInFront ? SmtpEnvelope.size() : 0);
    if (m_state != SmtpState::MessageText)
        return HandleSmtpCommand(StuffData(message));
    showSending();
    // The log shows the text as it came, stuffed and with its end marker.
    if (m.LogToFile)
        m.LogEntry("SMTP> " + StuffData(message));
    if (!headInFront)
        submission = submissionText(SmtpEnvelope, std::move(submission));
    return runCommand([&] { return handleMessageText(submission); });
}

// The tip shows "Sending" while the command runs and whatever the command
// leaves in the record once it is done.
void SmtpDialogue::showSending()
{
    m.TrayData.setAndApply(TrayStatus::Icon::Busy, TrayStatus::Sending);
    m.TrayData.set(TrayStatus::Icon::Program, TrayStatus::Idle);
}

QByteArray SmtpDialogue::runCommand(const std::function<QByteArray()> &handle)
{
    const QPointer<QObject> alive(&m_lifetime);
    const QByteArray reply = handle();
    if (alive)
        m.TrayData.apply();
    return reply;
}

QByteArray SmtpDialogue::RefuseOversizedMessage()
{
    m.TrayData.setAndApply(TrayStatus::Icon::Busy, TrayStatus::Sending);
    m.TrayData.set(TrayStatus::Icon::Program, TrayStatus::Idle);
    log(QStringLiteral("SMTP-ERR: Message size exceeds fixed maximum message size; nothing sent."));
    clearEnvelope();
    m_state = SmtpState::Envelope;
    m.TrayData.apply();
    return Reply::TooLarge;
}

// State 0: only HELO opens the dialogue.
QByteArray SmtpDialogue::handleAwaitingHelo(const QByteArray &word, const QByteArray &text)
{
    if (word == "HELO")
        return checkServiceAndGreet();
    if (word == "EHLO")
        return Reply::NotImplemented;
    if (word == "QUIT")
        return quit();
    if (word == "NOOP")
        return noop();
    if (word == "RSET")
        return reset();
    return unknownCommand(text);
}

// State 1: the envelope and the start of the message text.
QByteArray SmtpDialogue::handleEnvelope(const QByteArray &word, const QByteArray &text)
{
    if (word == "MAIL" || word == "RCPT") {
        const EnvelopeLine line(text);
        if (!line.IsValid()) {
            log(QStringLiteral("SMTP-ERR: Line break or NUL inside an envelope command; refused."));
            return Reply::SyntaxError;
        }
        if (!envelopeHasRoomFor(line.Line())) {
            log(QStringLiteral("SMTP-ERR: The envelope is full; line refused."));
            return word == "RCPT" ? Reply::TooManyRecipients : Reply::EnvelopeFull;
        }
        // "MAIL FROM:" reverse-path CRLF
        if (word == "MAIL") {
            const QPointer<QObject> alive(&m_lifetime);
            const QByteArray reply = senderStep(line.AddressName());
            if (!alive)
                return reply;
            SmtpEnvelope.append(line.Line());
            log(QStringLiteral("SMTP-Processing sender."));
            return reply;
        }
        // "RCPT TO:" forward-path CRLF
        if (m_recipientCount >= MaxRecipients) {
            log(QStringLiteral("SMTP-ERR: Too many recipients; line refused."));
            return Reply::TooManyRecipients;
        }
        ++m_recipientCount;
        SmtpEnvelope.append(line.Line());
        log(QStringLiteral("SMTP-Processing recipients."));
        return Reply::Ok;
    }
    if (word == "DATA") {
        SmtpEnvelope.append(LineEnd);
        m.TrayData.set(TrayStatus::Icon::Busy, TrayStatus::Receiving);
        m_state = SmtpState::MessageText;
        log(QStringLiteral("SMTP-Receiving data..."));
        return Reply::StartMailInput;
    }
    if (word == "HELO") {
        // A new greeting within the dialogue keeps the login.
        clearEnvelope();
        log(QStringLiteral("SMTP-Logon request received."));
        return Reply::Greeted;
    }
    if (word == "EHLO")
        return Reply::NotImplemented;
    if (word == "QUIT")
        return quit();
    if (word == "NOOP")
        return noop();
    if (word == "RSET")
        return reset();
    return unknownCommand(text);
}

// State 2: the envelope and the message text, unstuffed.
QByteArray SmtpDialogue::handleMessageText(const QByteArray &submission)
{
    log(QStringLiteral("  Sending message..."));

    QByteArray reply = Reply::LocalError;
    if (m.MailSession) {
        const BusySessionWait::Outcome outcome = waitUntilSessionFree();
        if (outcome == BusySessionWait::Outcome::WaiterGone)
            return reply;
        if (outcome != BusySessionWait::Outcome::Free) {
            clearEnvelope();
            m_state = SmtpState::Envelope;
            return refuseForBusySession(outcome);
        }
        reply = m.MailSession->Send(submission, m.Options().SaveSentItems());
        if (!reply.endsWith(LineEnd))
            reply.append(LineEnd);
    }
    log(reply.mid(4));

    clearEnvelope();
    m_state = SmtpState::Envelope;
    return reply;
}

// HELO in state 0 checks that the service answers before anything else.
QByteArray SmtpDialogue::checkServiceAndGreet()
{
    QByteArray problem = QByteArrayLiteral("The web mail session could not be created.\r\n");
    if (m.MailSession) {
        const BusySessionWait::Outcome outcome = waitUntilSessionFree();
        if (outcome == BusySessionWait::Outcome::WaiterGone)
            return Reply::LocalError;
        if (outcome != BusySessionWait::Outcome::Free)
            return refuseForBusySession(outcome);
        problem = m.MailSession->ConnStatus(ConnectionCheckAddress(m.MailSession->MailDomain()));
    }
    if (!problem.isEmpty()) {
        m.ShowSystemProblem(QString::fromUtf8(problem));
        log(QStringLiteral("SMTP-ERR: Unable to connect to Hotmail server."));
        return Reply::MailboxUnavailable;
    }
    m_loggedInAccount.clear();
    SmtpMailbox = XmlDocument();
    clearEnvelope();
    m_state = SmtpState::Envelope;
    log(QStringLiteral("SMTP-Logon request received."));
    return Reply::Greeted;
}

// MAIL: log in with the account the sender address names, unless this
// dialogue is logged in with it already. A null sender (a notice) goes out
// with the account logged in, or else with that of the last POP3 user.
QByteArray SmtpDialogue::senderStep(const QString &addressName)
{
    QString account = addressName.toLower();
    if (account.isEmpty() && !m_loggedInAccount.isEmpty())
        return Reply::Ok;
    if (account.isEmpty())
        account = m.UserName.toLower();
    if (account.isEmpty())
        return Reply::NoValidUser;
    if (account == m_loggedInAccount)
        return Reply::Ok;

    const QString stored = m.Settings ? m.Settings->value(AccountSection, account) : QString();
    bool deciphered = false;
    const QByteArray password = stored.isEmpty() ? QByteArray() : DecipherText(stored, account, &deciphered);
    if (!deciphered || password.isEmpty())
        return Reply::NoValidUser;

    return loginForSending(account, QString::fromUtf8(password));
}

QByteArray SmtpDialogue::loginForSending(const QString &account, const QString &password)
{
    int status = 0;
    m_loggedInAccount.clear();
    if (m.MailSession) {
        const BusySessionWait::Outcome outcome = waitUntilSessionFree();
        if (outcome == BusySessionWait::Outcome::WaiterGone)
            return Reply::LocalError;
        if (outcome != BusySessionWait::Outcome::Free)
            return refuseForBusySession(outcome);
        status = m.MailSession->Login(account, password, SmtpMailbox, WebMailSession::FrontEnd::Smtp);
    }
    switch (status) {
    case 200:
    case 207:
        m.MailSession->GetSendUrl(SmtpMailbox);
        m_loggedInAccount = account;
        log(QStringLiteral("SMTP-Logged in."));
        return Reply::Ok;
    case 403:
        log(QStringLiteral("SMTP-ERR: Command forbidden by proxy server."));
        return Reply::ForbiddenByProxy;
    case 503:
        log(QStringLiteral("SMTP-ERR: Service temporarily unavailable."));
        return Reply::ServiceUnavailable;
    default:
        log(QStringLiteral("SMTP-ERR: Could not connect to the mailbox:"));
        return Reply::AuthenticationFailed;
    }
}

// The empty line that DATA adds must fit too.
bool SmtpDialogue::envelopeHasRoomFor(const QByteArray &line) const
{
    return SmtpEnvelope.size() + line.size() + LineEnd.size() <= MaxEnvelopeBytes;
}

void SmtpDialogue::clearEnvelope()
{
    SmtpEnvelope.clear();
    m_recipientCount = 0;
}

QByteArray SmtpDialogue::quit()
{
    log(QStringLiteral("SMTP-Logoff.\r\n"));
    return QuitAccepted;
}

QByteArray SmtpDialogue::noop()
{
    log(QStringLiteral("SMTP-Nothing done.\r\n"));
    return Reply::Ok;
}

QByteArray SmtpDialogue::reset()
{
    clearEnvelope();
    log(QStringLiteral("SMTP-Reset.\r\n"));
    return Reply::Ok;
}

QByteArray SmtpDialogue::unknownCommand(const QByteArray &text)
{
    log(QStringLiteral("SMTP-Unknown command received:") + QString::fromUtf8(withCredentialsMasked(text)));
    return Reply::Unrecognized;
}

// The session has one request: an operation of the POP3 side (a large
// download above all) must end before one of ours begins. The front end
// holds input while the session is busy, so this is only reached when the
// log or a message box let POP3 events run in the middle of a command.
BusySessionWait::Outcome SmtpDialogue::waitUntilSessionFree()
{
    return BusySessionWait::Run(m.MailSession, m_sessionWaitMs, &m_lifetime);
}

QByteArray SmtpDialogue::refuseForBusySession(BusySessionWait::Outcome outcome)
{
    log(outcome == BusySessionWait::Outcome::ProgramQuit
            ? QStringLiteral("SMTP-ERR: Zorvane is closing; nothing done.")
            : QStringLiteral("SMTP-ERR: The web mail session stayed busy; nothing done."));
    return Reply::LocalError;
}

void SmtpDialogue::log(const QString &text)
{
    m.AddLogLine(text);
}

void SmtpDialogue::log(const QByteArray &text)
{
    m.AddLogLine(QString::fromUtf8(text));
}
