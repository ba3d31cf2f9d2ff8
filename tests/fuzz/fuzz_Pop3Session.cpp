// The POP3 dialogue from arbitrary client bytes through the real web mail
// session, talking HTTP to a scripted service that answers as the contract
// says: the XML of the listings, the header properties, and the background
// download of a large message. The dialogue logic alone is fuzzed against
// the scripted session by fuzz_Pop3Dialogue, many times faster.

#include "MailTexts.h"
#include "PopDialogueDriver.h"
#include "ScriptedMailService.h"

#include "SettingsStore.h"
#include "Winsock.h"
#include "clsHotmail.h"
#include "modMain.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

namespace {

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
    const PopDialogueDriver::Input input = PopDialogueDriver::Read(data, size);
    SettingsStore settings(fixture->settingsPath);
    modMain state;
    state.SetOptions(&input.options);
    state.Settings = &settings;
    clsHotmail session(state);
    state.MailSession = &session;
    Winsock wskPop;
    PopFrontEnd frontEnd(state, wskPop);
    frontEnd.SetRetrieveInterval(10);

    PopDialogueDriver::Run(input, frontEnd, [&](const QByteArray &line) {
        waitForDownload(frontEnd, session);
        FuzzHarness::require(!session.IsBusy(), "session busy between commands", line);
    });
    state.MailSession = nullptr;
    return 0;
}
