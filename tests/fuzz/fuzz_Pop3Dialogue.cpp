// The POP3 dialogue from arbitrary client bytes with a scripted web mail
// session: no HTTP, no thread, so the dialogue logic itself gets the runs.
// Besides well-formed replies: the session is only asked for what the
// dialogue's state allows (nothing of the mailbox before a login), and the
// update phase and the logoff run only at QUIT.

#include "MailTexts.h"
#include "PopDialogueDriver.h"
#include "ScriptedSession.h"

#include "SettingsStore.h"
#include "Winsock.h"
#include "modMain.h"

namespace {

const QString Account = QStringLiteral("user@zorvane.test");

const QList<QByteArray> MailboxOperations{"GetMsgStoreProps", "PopCollect",        "Retrieve", "RetrieveAsync", "Top",
                                          "MarkAsRead",       "MoveToDeletedItems"};

bool isMailboxOperation(const QByteArray &operation)
{
    return MailboxOperations.contains(operation);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FuzzHarness::start();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const QString settingsPath =
        FuzzHarness::privateFolder(QStringLiteral("config/Zorvane")) + QStringLiteral("/pop3.ini");
    const PopDialogueDriver::Input input = PopDialogueDriver::Read(data, size);
    SettingsStore settings(settingsPath);
    modMain state;
    state.SetOptions(&input.options);
    state.Settings = &settings;
    ScriptedSession session;
    session.setMailDomain(QStringLiteral("zorvane.test"));
    session.setPassword(Account, QStringLiteral("secret"));
    session.setMessages(
        QList<ScriptedSession::Message>{{"From: a@example.org\r\nSubject: one\r\n\r\nfirst\r\n.\r\n..two dots\r\n"},
                                        {MailTexts::messageOfSize(12000, "header-from-properties", ".\r\n")},
                                        {MailTexts::messageOfSize(60000, "background", "..\r\n.x\r\n")},
                                        {QByteArray("\r\n"), true},
                                        {QByteArray("no header section, no line end")}});
    state.MailSession = &session;
    Winsock wskPop;
    PopFrontEnd frontEnd(state, wskPop);

    PopDialogueDriver::Run(input, frontEnd, [&](const QByteArray &line) {
        const auto &calls = session.calls();
        for (const ScriptedSession::Call &call : calls) {
            if (isMailboxOperation(call.operation))
                FuzzHarness::require(call.account == Account, "mailbox asked without the dialogue's login", line);
        }
        const bool updated = !calls.isEmpty()
            && (calls.last().operation == "Logoff" || calls.last().operation == "MarkAsRead"
                || calls.last().operation == "MoveToDeletedItems");
        if (updated)
            FuzzHarness::require(line.left(4).toUpper() == "QUIT", "update phase without QUIT", line);
    });
    state.MailSession = nullptr;
    return 0;
}
