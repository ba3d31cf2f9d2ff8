#include "SmtpDialogue.h"

#include "SettingsStore.h"
#include "StoredTexts.h"
#include "TrayStatus.h"
#include "UnstuffData.h"
#include "clsHotmail.h"
#include "modMain.h"

#include <QEventLoop>

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
const QByteArray NoAddress = QByteArrayLiteral("501 Syntax error in parameters or arguments\r\n");
const QByteArray NoValidUser = QByteArrayLiteral("451 No valid user name. Receive first, then try again.\r\n");
const QByteArray ForbiddenByProxy = QByteArrayLiteral("451 Command forbidden by proxy server\r\n");
const QByteArray ServiceUnavailable = QByteArrayLiteral("451 Service temporarily unavailable\r\n");
const QByteArray AuthenticationFailed = QByteArrayLiteral("450 authentication failed\r\n");
const QByteArray LocalError = QByteArrayLiteral("451 Local error in processing\r\n");
const QByteArray TooLarge = QByteArrayLiteral("552 Message size exceeds fixed maximum message size\r\n");
} // namespace Reply

const QString AccountSection = QStringLiteral("AccountInfo");

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

QByteArray trimBlanks(const QByteArray &text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isBlank(text.at(begin)))
        ++begin;
    while (end > begin && isBlank(text.at(end - 1)))
        --end;
    return text.mid(begin, end - begin);
}

QByteArray firstLine(const QByteArray &text)
{
    const qsizetype end = text.indexOf(LineEnd);
    return end < 0 ? text : text.left(end);
}

// The text after the first ":" of a MAIL or RCPT line, up to a second ":"
// or the line end.
QByteArray argumentAfterColon(const QByteArray &line)
{
    const qsizetype colon = line.indexOf(':');
    if (colon < 0)
        return QByteArray();
    QByteArray argument = line.mid(colon + 1);
    const qsizetype second = argument.indexOf(':');
    if (second >= 0)
        argument.truncate(second);
    return argument;
}

// "MAIL FROM:<Name@Example.com>" names the account "name@example.com".
QString senderAccountName(const QByteArray &text)
{
    QByteArray name = argumentAfterColon(firstLine(text));
    name.replace('<', ' ').replace('>', ' ');
    return QString::fromUtf8(trimBlanks(name));
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
    // The tip shows "Sending" while the command runs and whatever the command
    // leaves in the record once it is done.
    m.TrayData.setAndApply(TrayStatus::Icon::Busy, TrayStatus::Sending);
    m.TrayData.set(TrayStatus::Icon::Program, TrayStatus::Idle);

    if (m.LogToFile)
        m.LogEntry("SMTP> " + text);

    QByteArray reply;
    if (m_state == SmtpState::AwaitingHelo || m_state == SmtpState::Envelope) {
        if (!text.endsWith(LineEnd))
            text.append(LineEnd);
        const QByteArray word = text.left(4).toUpper();
        reply = m_state == SmtpState::AwaitingHelo ? handleAwaitingHelo(word, text)
                                                    : handleEnvelope(word, text);
    } else if (m_state == SmtpState::MessageText) {
        reply = handleMessageText(std::move(text));
    }

    m.TrayData.apply();
    return reply;
}

QByteArray SmtpDialogue::RefuseOversizedMessage()
{
    m.TrayData.setAndApply(TrayStatus::Icon::Busy, TrayStatus::Sending);
    m.TrayData.set(TrayStatus::Icon::Program, TrayStatus::Idle);
    log(QStringLiteral("SMTP-ERR: Message size exceeds fixed maximum message size; nothing sent."));
    SmtpEnvelope.clear();
    SmtpMessage.clear();
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
        // Without a colon there is no address to record.
        if (!firstLine(text).contains(':')) {
            log(QStringLiteral("SMTP-ERR: No address given: ") + QString::fromUtf8(text));
            return Reply::NoAddress;
        }
    }
    if (word == "MAIL") {
        // "MAIL FROM:" reverse-path CRLF
        const QByteArray reply = senderStep(text);
        appendEnvelopeLine(text);
        log(QStringLiteral("SMTP-Processing sender."));
        return reply;
    }
    if (word == "RCPT") {
        // "RCPT TO:" forward-path CRLF
        appendEnvelopeLine(text);
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
        SmtpEnvelope.clear();
        SmtpMessage.clear();
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

// State 2: the whole message text, end marker included.
QByteArray SmtpDialogue::handleMessageText(QByteArray text)
{
    SmtpMessage = UnstuffData(std::move(text));
    log(QStringLiteral("  Sending message..."));

    const QByteArray submission = submissionText(SmtpEnvelope, std::move(SmtpMessage));
    SmtpMessage.clear();
    QByteArray reply = Reply::LocalError;
    if (m.MailSession) {
        waitUntilSessionFree();
        reply = m.MailSession->Send(submission, m.Options().SaveSentItems());
        if (!reply.endsWith(LineEnd))
            reply.append(LineEnd);
    }
    log(reply.mid(4));

    SmtpEnvelope.clear();
    SmtpMessage.clear();
    m_state = SmtpState::Envelope;
    return reply;
}

// HELO in state 0 checks that the service answers before anything else.
QByteArray SmtpDialogue::checkServiceAndGreet()
{
    QByteArray problem = QByteArrayLiteral("The web mail session could not be created.\r\n");
    if (m.MailSession) {
        waitUntilSessionFree();
        problem = m.MailSession->ConnStatus(ConnectionCheckAddress(m.MailSession->MailDomain()));
    }
    if (!problem.isEmpty()) {
        m.ShowSystemProblem(QString::fromUtf8(problem));
        log(QStringLiteral("SMTP-ERR: Unable to connect to Hotmail server."));
        return Reply::MailboxUnavailable;
    }
    m_loggedInAccount.clear();
    SmtpMailbox = XmlDocument();
    SmtpEnvelope.clear();
    SmtpMessage.clear();
    m_state = SmtpState::Envelope;
    log(QStringLiteral("SMTP-Logon request received."));
    return Reply::Greeted;
}

// MAIL: log in with the account the sender address names, unless this
// dialogue is logged in with it already. A null sender (a notice) goes out
// with the account logged in, or else with that of the last POP3 user.
QByteArray SmtpDialogue::senderStep(const QByteArray &text)
{
    QString account = senderAccountName(text).toLower();
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
        waitUntilSessionFree();
        status = m.MailSession->Login(account, password, SmtpMailbox, clsHotmail::FrontEnd::Smtp);
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

// The envelope line keeps the client's spelling before the colon and the
// address without the blanks around it: "MAIL FROM: <a@b>" gives
// "MAIL FROM:<a@b>". Each line ends in CR LF, whatever else the text held.
void SmtpDialogue::appendEnvelopeLine(const QByteArray &text)
{
    const QByteArray line = firstLine(text);
    const qsizetype colon = line.indexOf(':');
    SmtpEnvelope.append(line.left(colon + 1));
    SmtpEnvelope.append(trimBlanks(argumentAfterColon(line)));
    SmtpEnvelope.append(LineEnd);
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
    SmtpEnvelope.clear();
    SmtpMessage.clear();
    log(QStringLiteral("SMTP-Reset.\r\n"));
    return Reply::Ok;
}

QByteArray SmtpDialogue::unknownCommand(const QByteArray &text)
{
    log(QStringLiteral("SMTP-Unknown command received:") + QString::fromUtf8(text));
    return Reply::Unrecognized;
}

// The session has one request: an operation of the POP3 side (a large
// download above all) must end before one of ours begins. Only reached when
// the log or a message box let POP3 events run in the middle of a command.
void SmtpDialogue::waitUntilSessionFree()
{
    while (m.MailSession && m.MailSession->IsBusy()) {
        QEventLoop loop;
        QObject::connect(m.MailSession, &clsHotmail::Idle, &loop, &QEventLoop::quit);
        loop.exec();
    }
}

void SmtpDialogue::log(const QString &text)
{
    m.AddLogLine(text);
}

void SmtpDialogue::log(const QByteArray &text)
{
    m.AddLogLine(QString::fromUtf8(text));
}
