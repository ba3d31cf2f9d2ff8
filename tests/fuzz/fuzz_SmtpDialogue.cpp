// The SMTP dialogue from arbitrary client bytes, as the front end takes them
// in: the intake buffer cuts command texts and, after DATA, the message text
// up to its end marker; each goes to HandleSmtpCommand, whose session (a
// scripted one, no HTTP) logs in and takes the submission. Replies must be
// SMTP replies, a message answered "250" must have been submitted exactly
// as the client meant it (unstuffed, without the end marker), and every
// submission presents the account the dialogue logged in with.
//
// A second part checks the message phase alone: any message, stuffed and
// terminated as a client would, comes back byte for byte from the intake
// buffer and UnstuffData, however it is cut into segments.
//
// Input: one byte (bit 0 save sent items, bits 1-7 segment length), then
// the client's bytes.

#include "FuzzHarness.h"
#include "MailTexts.h"
#include "ScriptedSession.h"

#include "AgentOptions.h"
#include "SettingsStore.h"
#include "SmtpBuffer.h"
#include "SmtpFrontEnd.h"
#include "StoredTexts.h"
#include "UnstuffData.h"
#include "Winsock.h"
#include "modMain.h"

namespace {

constexpr int MaxTextsPerInput = 48;
constexpr int MessagePhase = 2;
constexpr int QuitState = 99;

// Accounts whose password an earlier POP3 login would have kept.
const QList<QString> Accounts{QStringLiteral("user@zorvane.test"), QStringLiteral("ann@zorvane.test")};

QString prepareSettings()
{
    const QString path = FuzzHarness::privateFolder(QStringLiteral("config/Zorvane")) + QStringLiteral("/smtp.ini");
    SettingsStore store(path);
    for (const QString &account : Accounts)
        store.setValue(QStringLiteral("AccountInfo"), account, EncipherText("secret", account));
    return path;
}

void requireSmtpReply(const QByteArray &reply, int stateBefore, const QByteArray &text)
{
    if (reply == "99" || (reply.isEmpty() && stateBefore == QuitState))
        return;
    FuzzHarness::require(reply.size() >= 5 && reply.endsWith("\r\n"), "reply is no SMTP reply line",
                         text + '\n' + reply);
    bool numeric = false;
    const int code = reply.left(3).toInt(&numeric);
    FuzzHarness::require(numeric && code >= 200 && code <= 599 && reply.at(3) == ' ', "reply has no code",
                         text + '\n' + reply);
}

// The message phase alone: what the client meant is what the intake keeps.
void messageRoundTrip(const QByteArray &message, qsizetype segment)
{
    const QByteArray wire = MailTexts::stuffedForData(message);
    QByteArray meant = message;
    if (!meant.isEmpty() && !meant.endsWith("\r\n"))
        meant += "\r\n";
    SmtpBuffer buffer;
    buffer.beginMessage();
    QByteArray text;
    SmtpBuffer::Take taken = SmtpBuffer::Take::Incomplete;
    for (qsizetype at = 0; at < wire.size(); at += segment) {
        FuzzHarness::require(taken == SmtpBuffer::Take::Incomplete, "message ended before its end marker", wire);
        buffer.append(wire.mid(at, segment));
        taken = buffer.take(&text);
    }
    FuzzHarness::require(taken == SmtpBuffer::Take::Complete, "message not taken at its end marker", wire);
    FuzzHarness::require(text == meant, "message text differs from what was sent", wire);
    FuzzHarness::require(buffer.phase() == SmtpBuffer::Phase::Command, "still in the message phase");
    FuzzHarness::require(UnstuffData(wire) == meant, "unstuffed text differs from the message", wire);
    FuzzHarness::require(StuffData(meant) == wire, "the text stuffed again differs from what was sent", wire);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FuzzHarness::start();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const QString settingsPath = prepareSettings();
    FuzzHarness::InputReader input(data, size);
    const quint8 flags = input.byte();
    const qsizetype segment = 1 + (flags >> 1) * 3;
    const QByteArray bytes = input.rest();

    messageRoundTrip(bytes, segment);
    const QByteArray unstuffed = UnstuffData(bytes);
    FuzzHarness::require(unstuffed.size() <= bytes.size(), "unstuffing made the text longer", bytes);

    OptionValues options;
    options.saveSentItems = flags & 1;
    SettingsStore settings(settingsPath);
    modMain state;
    state.SetOptions(&options);
    state.Settings = &settings;
    ScriptedSession session;
    session.setMailDomain(QStringLiteral("zorvane.test"));
    for (const QString &account : Accounts)
        session.setPassword(account, QStringLiteral("secret"));
    state.MailSession = &session;
    Winsock wskSmtp;
    SmtpFrontEnd frontEnd(state, wskSmtp);

    SmtpBuffer buffer;
    int texts = 0;
    for (qsizetype at = 0; at < bytes.size() && texts < MaxTextsPerInput; at += segment) {
        buffer.append(bytes.mid(at, segment));
        QByteArray text;
        for (;;) {
            const SmtpBuffer::Take taken = buffer.take(&text);
            if (taken == SmtpBuffer::Take::Incomplete)
                break;
            if (taken != SmtpBuffer::Take::Complete)
                continue;
            const int stateBefore = frontEnd.DialogueState();
            const qsizetype submittedBefore = session.submissions().size();
            const QByteArray reply = frontEnd.HandleSmtpCommand(text);
            requireSmtpReply(reply, stateBefore, text);
            if (stateBefore == MessagePhase && reply.startsWith("250")) {
                const QList<QByteArray> submitted = session.submissions();
                FuzzHarness::require(submitted.size() == submittedBefore + 1, "accepted message not submitted once",
                                     text);
                FuzzHarness::require(submitted.last().endsWith("\r\n" + UnstuffData(text))
                                         || UnstuffData(text).isEmpty(),
                                     "submitted text differs from the message", text);
            }
            const QList<ScriptedSession::Call> &calls = session.calls();
            if (!calls.isEmpty() && calls.last().operation == "Send")
                FuzzHarness::require(calls.last().account == frontEnd.LoggedInAccount(),
                                     "submission without the dialogue's login", text);
            const int stateAfter = frontEnd.DialogueState();
            FuzzHarness::require(stateAfter == 0 || stateAfter == 1 || stateAfter == MessagePhase, "unknown state");
            if (stateAfter == MessagePhase && buffer.phase() == SmtpBuffer::Phase::Command)
                buffer.beginMessage();
            if (++texts >= MaxTextsPerInput)
                break;
        }
    }
    state.MailSession = nullptr;
    return 0;
}
