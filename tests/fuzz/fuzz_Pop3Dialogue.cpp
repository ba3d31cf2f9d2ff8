// The POP3 dialogue from arbitrary client bytes: cut into command lines by
// the front end's own line buffer (in segments the input chooses), each line
// handed to HandlePopCommand, with a web mail session talking to a scripted
// service that answers as the contract says. Every reply must be a POP3
// reply; the dialogue state must stay one of its four values.
//
// Input: one byte of options (bit 0 unread only, 1 mark read, 2 delete,
// 3 POP collection, bits 4-7 segment length), then the client's bytes.

#include "FuzzHarness.h"
#include "MailTexts.h"
#include "ScriptedMailService.h"

#include "AgentOptions.h"
#include "PopBuffer.h"
#include "PopFrontEnd.h"
#include "SettingsStore.h"
#include "Winsock.h"
#include "clsHotmail.h"
#include "modMain.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

namespace {

// A dialogue longer than this adds nothing but time per input.
constexpr int MaxCommandsPerInput = 48;
// A download in the background must end within this; longer is a hang.
constexpr int DownloadDeadlineMs = 20000;

struct Fixture
{
    Fixture()
    {
        service.setMessages({"From: a@example.org\r\nSubject: one\r\n\r\nfirst\r\n.\r\n..two dots\r\n",
                             MailTexts::messageOfSize(12000, "header-from-properties", ".\r\n"),
                             MailTexts::messageOfSize(60000, "background", "..\r\n.x\r\n"), QByteArray("\r\n")});
        if (!service.listenInOwnThread())
            std::abort();
        settingsPath = FuzzHarness::privateFolder(QStringLiteral("config/Zorvane")) + QStringLiteral("/pop3.ini");
        SettingsStore store(settingsPath);
        store.setValue(QStringLiteral("Preferences"), QStringLiteral("ServiceUrl"), service.serviceUrl());
        store.setValue(QStringLiteral("Preferences"), QStringLiteral("AltServiceUrl"), service.altServiceUrl());
    }

    ScriptedMailService service;
    QString settingsPath;
};

void requirePopReply(const QByteArray &reply, const QByteArray &line)
{
    if (reply.isEmpty())
        return;
    FuzzHarness::require(reply.startsWith("+OK") || reply.startsWith("-ERR"), "reply is no POP3 status", line + '\n' + reply);
    FuzzHarness::require(reply.endsWith("\r\n"), "reply does not end in CRLF", line + '\n' + reply);
}

// The session says Idle when the background download is over.
void waitForDownload(PopFrontEnd &frontEnd, clsHotmail &session)
{
    QDeadlineTimer deadline(DownloadDeadlineMs);
    while (frontEnd.IsRetrieving()) {
        if (deadline.hasExpired())
            FuzzHarness::fail("background download never ended");
        QEventLoop loop;
        QObject::connect(&session, &clsHotmail::Idle, &loop, &QEventLoop::quit);
        QTimer::singleShot(int(deadline.remainingTime()), &loop, &QEventLoop::quit);
        if (frontEnd.IsRetrieving())
            loop.exec();
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FuzzHarness::start();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Fixture *fixture = new Fixture;
    FuzzHarness::InputReader input(data, size);
    const quint8 flags = input.byte();
    const qsizetype segment = 1 + (flags >> 4) * 7;

    OptionValues options;
    options.listUnreadOnly = flags & 1;
    options.markReadOnServer = flags & 2;
    options.deleteOnServer = flags & 4;
    options.collectPOP3 = flags & 8;
    SettingsStore settings(fixture->settingsPath);
    modMain state;
    state.SetOptions(&options);
    state.Settings = &settings;
    clsHotmail session(state);
    state.MailSession = &session;
    Winsock wskPop;
    PopFrontEnd frontEnd(state, wskPop);
    frontEnd.SetRetrieveInterval(10);

    PopBuffer buffer;
    int commands = 0;
    const QByteArray bytes = input.rest();
    for (qsizetype at = 0; at < bytes.size() && commands < MaxCommandsPerInput; at += segment) {
        if (!buffer.append(bytes.mid(at, segment)))
            break; // the front end drops such a client
        QByteArray line;
        for (;;) {
            const PopBuffer::Next next = buffer.takeNext(&line);
            if (next == PopBuffer::Next::Nothing)
                break;
            if (next == PopBuffer::Next::TooLong)
                continue;
            FuzzHarness::require(!line.contains("\r\n"), "a line holds CRLF", line);
            FuzzHarness::require(line.size() < PopBuffer::MaxCommandLineBytes, "an overlong line came through");
            requirePopReply(frontEnd.HandlePopCommand(line), line);
            const int popState = int(frontEnd.State());
            FuzzHarness::require(popState == 0 || popState == 1 || popState == 2 || popState == 99, "unknown state");
            waitForDownload(frontEnd, session);
            FuzzHarness::require(!session.IsBusy(), "session busy between commands", line);
            if (++commands >= MaxCommandsPerInput)
                break;
        }
    }
    state.MailSession = nullptr;
    return 0;
}
