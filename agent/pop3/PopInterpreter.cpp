#include "PopInterpreter.h"

#include "DotStuffing.h"
#include "PopUserName.h"
#include "SettingsStore.h"
#include "StoredTexts.h"
#include "WebMailSession.h"
#include "XmlHttpRequest.h"
#include "modMain.h"

namespace {

const QByteArray CrLf = QByteArrayLiteral("\r\n");
const QByteArray MaskedPassword = QByteArrayLiteral("********");

QByteArray withCrLf(const QByteArray &text)
{
    return text.endsWith(CrLf) ? text : text + CrLf;
}

QString withoutCrLf(const QByteArray &text)
{
    QByteArray t = text;
    while (t.endsWith(CrLf))
        t.chop(2);
    return QString::fromUtf8(t);
}

} // namespace

PopInterpreter::PopInterpreter(modMain &state)
    : m_state(state)
{
}

PopInterpreter::~PopInterpreter() = default;

WebMailSession *PopInterpreter::session() const
{
    return m_state.MailSession;
}

void PopInterpreter::log(const QString &text)
{
    m_state.AddLogLine(text);
}

PopInterpreter::Result PopInterpreter::reply(const QByteArray &text)
{
    Result r;
    r.reply = text;
    return r;
}

// The line as the log file may show it, byte for byte: credentials never
// reach a log.
QByteArray PopInterpreter::maskedLine(const QByteArray &line)
{
    const QByteArray word = line.left(4).toUpper();
    if (word == "PASS")
        return line.left(4) + ' ' + MaskedPassword;
    if (word == "AUTH") {
        // "AUTH" SP mechanism [SP initial-response]: the response carries
        // the credentials.
        const auto cmd = PopCommandLine::parse(line);
        if (cmd && cmd->arguments.size() > 1)
            return line.left(4) + ' ' + cmd->arguments.first() + ' ' + MaskedPassword;
    }
    return line;
}

// The same as text for the on-screen log.
QString PopInterpreter::loggable(const QByteArray &line)
{
    return QString::fromUtf8(maskedLine(line));
}

PopInterpreter::Result PopInterpreter::Handle(const QByteArray &line)
{
    // Busy while the command runs; idle goes out at its end unless a large
    // download has set busy again for its whole run.
    m_state.TrayData.setAndApply(TrayStatus::Icon::Busy, TrayStatus::Busy);
    m_state.TrayData.set(TrayStatus::Icon::Program, TrayStatus::Idle);
    Result result = handleLine(line);
    m_state.TrayData.apply();
    return result;
}

PopInterpreter::Result PopInterpreter::handleLine(const QByteArray &line)
{
    const auto cmd = PopCommandLine::parse(line);
    if (!cmd) {
        log(QStringLiteral("POP3-Unknown command: ") + loggable(line));
        return reply("-ERR syntax error\r\n");
    }
    if (!session())
        return reply("-ERR service unavailable\r\n");
    logIncoming(*cmd, line);
    switch (m_popState) {
    case PopState::Greeted:
    case PopState::UserAccepted:
        return handleBeforeLogin(*cmd, line);
    case PopState::Transaction:
        return handleTransaction(*cmd, line);
    case PopState::QuitSent:
        break;
    }
    return Result();
}

void PopInterpreter::logIncoming(const PopCommandLine &cmd, const QByteArray &line)
{
    if (!m_state.LogToFile)
        return;
    // Before the password is in, only the account dialogue is traced.
    if (m_popState == PopState::UserAccepted && cmd.command != "USER" && cmd.command != "PASS")
        return;
    m_state.LogEntry("POP3> " + maskedLine(line));
}

// Greeted and UserAccepted.
PopInterpreter::Result PopInterpreter::handleBeforeLogin(const PopCommandLine &cmd, const QByteArray &line)
{
    const bool greeted = m_popState == PopState::Greeted;
    const bool credential = cmd.command == "USER" || (cmd.command == "PASS" && !greeted);
    if (credential && cmd.argumentBreaksLines()) {
        // A name or password ends up in the Authorization header of every
        // request: a line break there would smuggle in lines of its own.
        log(QStringLiteral("POP3-Line break or NUL in the %1 argument refused.").arg(QString::fromLatin1(cmd.command)));
        return reply("-ERR invalid argument\r\n");
    }
    if (cmd.command == "USER")
        return handleUser(cmd);
    if (cmd.command == "PASS") {
        if (!greeted)
            return handleLogin(cmd);
        log(QStringLiteral("POP3-Unknown command: ") + loggable(line));
        return reply("-ERR authenticate first\r\n");
    }
    if (cmd.command == "AUTH") {
        if (greeted)
            log(QStringLiteral("POP3-Selecting authentication method..."));
        return reply("-ERR not supported\r\n");
    }
    if (cmd.command == "CAPA") {
        log(QStringLiteral("POP3-Client has asked for capabilities."));
        return reply(CapabilityList);
    }
    if (cmd.command == "QUIT") {
        log(QStringLiteral("POP3-Logon aborted.\r\n"));
        Result r = reply(QuitReply);
        r.quit = true;
        return r;
    }
    log(QStringLiteral("POP3-Unknown command: ") + loggable(line));
    return reply("-ERR authenticate first\r\n");
}

// "USER" SP name: a new name always drops the previous mailbox.
PopInterpreter::Result PopInterpreter::handleUser(const PopCommandLine &cmd)
{
    m_state.UserName = PopUserName::Normalise(cmd.argumentText, session()->MailDomain());
    m_popMailbox = XmlDocument();
    m_storeLoaded = false;
    if (m_popState == PopState::Greeted) {
        const QByteArray problem = session()->ConnStatus(m_state.UserName);
        if (!problem.isEmpty()) {
            log(QStringLiteral("POP3-ERR: ") + withoutCrLf(problem));
            return reply(withCrLf("-ERR " + problem));
        }
    }
    log(QStringLiteral("POP3-Username '") + m_state.UserName + QStringLiteral("' received."));
    m_popState = PopState::UserAccepted;
    return reply("+OK password required\r\n");
}

// "PASS" SP password, after USER.
PopInterpreter::Result PopInterpreter::handleLogin(const PopCommandLine &cmd)
{
    m_state.Password = QString::fromUtf8(cmd.argumentText);
    const int status =
        session()->Login(m_state.UserName, m_state.Password, m_popMailbox, WebMailSession::FrontEnd::Pop3);
    switch (status) {
    case 200:
    case 207:
        // Only this dialogue is logged in: the SMTP side logs in with the
        // account its sender names, with the password kept here.
        log(QStringLiteral("POP3-Logged in."));
        saveAccount();
        m_popState = PopState::Transaction;
        return reply("+OK logged in\r\n");
    case 403:
        // The client goes on to the mailbox state; every command there is
        // refused until the list can be loaded.
        log(QStringLiteral("POP3-ERR: Sorry. Proxy server not RFC2518-compatible."));
        m_popState = PopState::Transaction;
        return reply("+OK\r\n");
    case 503:
        log(QStringLiteral("POP3-ERR: Service temporarily unavailable"));
        m_popState = PopState::Transaction;
        return reply("+OK\r\n");
    default:
        log(QStringLiteral("POP3-ERR: Could not connect to the store: ") + QString::number(status));
        return reply("-ERR Login failure " + QByteArray::number(status) + CrLf);
    }
}

// The SMTP side reads the password back when this account sends; until it
// is kept, sending as this account is refused ("451 No valid user name"),
// and the log says why.
void PopInterpreter::saveAccount()
{
    if (!m_state.Settings)
        return;
    QString error;
    if (!m_state.Settings->setValue(QStringLiteral("AccountInfo"), m_state.UserName,
                                    EncipherText(m_state.Password.toUtf8(), m_state.UserName), &error))
        log(QStringLiteral("POP3-ERR: The password of %1 could not be stored for sending: %2")
                .arg(m_state.UserName, error));
}

bool PopInterpreter::loadStoreIfNeeded()
{
    if (m_storeLoaded)
        return true;
    // Options are read at the moment of use: the window may change them
    // while a log line lets events run.
    if (m_state.Options().CollectPOP3()) {
        if (session()->PopCollect(m_popMailbox))
            log(QStringLiteral("Hotmail POP collection done."));
        else
            log(QStringLiteral("Hotmail POP collection failed."));
    }
    const QByteArray loaded = session()->GetMsgStoreProps(m_popMailbox, !m_state.Options().ListUnreadOnly());
    m_storeLoaded = loaded.startsWith("+OK");
    return m_storeLoaded;
}

PopInterpreter::Result PopInterpreter::invalidArgument(const QString &logLine)
{
    log(logLine);
    return reply("-ERR invalid argument\r\n");
}

PopInterpreter::Result PopInterpreter::handleTransaction(const PopCommandLine &cmd, const QByteArray &line)
{
    if (!loadStoreIfNeeded())
        return reply("-ERR Store not loaded\r\n");

    const QString unknown = QStringLiteral("POP3-Unknown command: ") + loggable(line);
    const PopNumber first = PopNumber::parse(cmd.arguments.value(0));
    if (first.kind == PopNumber::Kind::Negative)
        return invalidArgument(QStringLiteral("POP3-Negative argument not allowed."));
    if (first.kind != PopNumber::Kind::Valid)
        return invalidArgument(unknown);

    const QByteArray &word = cmd.command;
    const bool takesOneNumber = word == "LIST" || word == "UIDL" || word == "RETR" || word == "DELE";
    if (takesOneNumber && cmd.arguments.size() > 1)
        return invalidArgument(unknown);
    const int n = first.value;
    WebMailSession &mail = *session();

    if (word == "STAT") {
        log(QStringLiteral("POP3-Checking Inbox."));
        return reply(mail.Stat() + CrLf);
    }
    if (word == "LIST") {
        // "LIST" [SP msg]: without a number the whole listing.
        log(QStringLiteral("POP3-Listing Inbox contents."));
        return reply(DotStuffing::WireReply(mail.List(n)));
    }
    if (word == "UIDL") {
        log(QStringLiteral("POP3-Listing message IDs"));
        return reply(DotStuffing::WireReply(mail.ListNames(n)));
    }
    if (word == "RETR")
        return handleRetrieve(n, cmd.argumentText);
    if (word == "DELE")
        return handleDelete(n, cmd.argumentText);
    if (word == "TOP ")
        return handleTop(cmd, n, line);
    if (word == "RSET") {
        log(QStringLiteral("POP3-Resetting marks."));
        return reply(mail.ResetMarks() + CrLf);
    }
    if (word == "CAPA") {
        log(QStringLiteral("POP3-Client has asked for capabilities."));
        return reply(CapabilityList);
    }
    if (word == "NOOP") {
        log(QStringLiteral("POP3-Nothing done."));
        return reply("+OK nothing done\r\n");
    }
    if (word == "QUIT")
        return runUpdatePhase();
    log(unknown);
    return reply("-ERR no such command\r\n");
}

// "RETR" SP msg
PopInterpreter::Result PopInterpreter::handleRetrieve(int msgNumber, const QByteArray &argumentText)
{
    if (msgNumber < 1)
        return reply("-ERR no such message\r\n");
    log(QStringLiteral("POP3-Receiving message #") + QString::fromUtf8(argumentText));
    WebMailSession &mail = *session();

    // The listing line "+OK n size" carries the size; a refusal
    // ("-ERR deleted", "-ERR no such message") goes to the client as it is.
    const QByteArray listed = mail.List(msgNumber);
    const QList<QByteArray> parts = (listed + "  ").split(' ');
    if (parts.value(0) != "+OK")
        return reply(listed + CrLf);
    const QByteArray sizeText = parts.value(2);
    bool sizeOk = false;
    const qint64 size = sizeText.toLongLong(&sizeOk);

    if (sizeOk && size > LargeMessageThreshold) {
        std::unique_ptr<XmlHttpRequest> download = mail.RetrieveAsync(msgNumber);
        if (!download) {
            log(QStringLiteral("POP3-ERR: Message retrieval failed"));
            return reply("-ERR async retrieval failed\r\n");
        }
        Result r = reply("+OK " + sizeText + CrLf);
        r.download = std::move(download);
        // Busy stays up for the whole download.
        m_state.TrayData.set(TrayStatus::Icon::Busy, TrayStatus::Busy);
        return r;
    }
    return reply(DotStuffing::WireReply(mail.Retrieve(msgNumber)));
}

// "DELE" SP msg: the mark only counts when QUIT has something to do with it.
PopInterpreter::Result PopInterpreter::handleDelete(int msgNumber, const QByteArray &argumentText)
{
    const QString prefix = QStringLiteral("POP3-Request to mark message #") + QString::fromUtf8(argumentText);
    if (m_state.Options().MarkReadOnServer() || m_state.Options().DeleteOnServer()) {
        log(prefix + QStringLiteral(" for read/delete."));
        return reply(session()->Mark(msgNumber) + CrLf);
    }
    log(prefix + QStringLiteral(" ignored."));
    return reply("+OK request ignored\r\n");
}

// "TOP" SP msg SP n: a count below 1 asks for the header section alone,
// negative ones included.
PopInterpreter::Result PopInterpreter::handleTop(const PopCommandLine &cmd, int msgNumber, const QByteArray &line)
{
    const PopNumber lines = cmd.arguments.size() >= 2 ? PopNumber::parse(cmd.arguments.at(1)) : PopNumber();
    if (lines.kind != PopNumber::Kind::Valid && lines.kind != PopNumber::Kind::Negative)
        return invalidArgument(QStringLiteral("POP3-Unknown command: ") + loggable(line));
    log(QStringLiteral("POP3-Inspecting message header #") + QString::fromUtf8(cmd.arguments.value(0, "0")));
    return reply(DotStuffing::WireReply(session()->Top(msgNumber, lines.value)));
}

// QUIT in the transaction state runs the update phase: the marks reach the
// service only now, then the session logs off. When a message could not be
// marked or moved the client is told so, and keeps its copy; the dialogue
// ends either way.
PopInterpreter::Result PopInterpreter::runUpdatePhase()
{
    WebMailSession &mail = *session();
    log(QStringLiteral("POP3-Cleaning up."));
    bool allDone = true;
    if (m_state.Options().MarkReadOnServer()) {
        log(QStringLiteral("  Executing pending mark requests."));
        QList<WebMailSession::UpdateFailure> failures;
        allDone = mail.MarkAsRead(&failures) && allDone;
        logUpdateFailures(failures, QStringLiteral("marked as read"));
    }
    if (m_state.Options().DeleteOnServer()) {
        log(QStringLiteral("  Executing pending deletions."));
        QList<WebMailSession::UpdateFailure> failures;
        allDone = mail.MoveToDeletedItems(&failures) && allDone;
        logUpdateFailures(failures, QStringLiteral("moved to the deleted items"));
    }
    mail.Logoff(m_state.UserName);
    m_popMailbox = XmlDocument();
    m_storeLoaded = false;
    log(QStringLiteral("POP3-Logoff.\r\n"));
    Result r = reply(allDone ? QuitReply : QuitReplyNotAllRemoved);
    r.quit = true;
    return r;
}

void PopInterpreter::logUpdateFailures(const QList<WebMailSession::UpdateFailure> &failures, const QString &what)
{
    for (const WebMailSession::UpdateFailure &failure : failures)
        log(QStringLiteral("POP3-ERR: Message #%1 (%2) not %3: %4")
                .arg(failure.MsgNumber)
                .arg(QString::fromUtf8(failure.Name), what, QString::fromUtf8(failure.Reason)));
}
