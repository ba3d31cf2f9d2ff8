#pragma once

// The agent's parts wired together inside the test, exactly as the headless
// program wires them, so that a test can shorten the session's completion
// wait (a test-only setting of the session) and take a service that never
// answers past the 30 s and 90 s limits in a fraction of the time.

#include "AgentOptions.h"
#include "PopFrontEnd.h"
#include "SettingsStore.h"
#include "SmtpFrontEnd.h"
#include "SocketWatchdog.h"
#include "Winsock.h"
#include "clsHotmail.h"
#include "modMain.h"

#include <memory>

class InProcessAgent
{
public:
    InProcessAgent(const QString &settingsPath, const QString &serviceUrl, const QString &altServiceUrl, int pollIntervalMs)
        : settings(settingsPath)
    {
        settings.setValue(QStringLiteral("Preferences"), QStringLiteral("ServiceUrl"), serviceUrl);
        settings.setValue(QStringLiteral("Preferences"), QStringLiteral("AltServiceUrl"), altServiceUrl);
        options.listUnreadOnly = false;
        options.markReadOnServer = true;
        options.deleteOnServer = true;
        options.localhostOnly = true;
        state.SetOptions(&options);
        state.Settings = &settings;
        wskPop.SetLocalPort(0);
        wskSmtp.SetLocalPort(0);
        listening = wskPop.Listen() && wskSmtp.Listen();
        session = std::make_unique<clsHotmail>(state);
        session->setPollIntervalMs(pollIntervalMs);
        state.MailSession = session.get();
        pop = std::make_unique<PopFrontEnd>(state, wskPop);
        smtp = std::make_unique<SmtpFrontEnd>(state, wskSmtp);
        watchdog = std::make_unique<SocketWatchdog>(state, wskPop, wskSmtp);
        watchdog->start();
    }

    ~InProcessAgent()
    {
        watchdog.reset();
        smtp.reset();
        pop.reset();
        state.MailSession = nullptr;
        session.reset();
    }

    quint16 pop3Port() const { return wskPop.LocalPort(); }
    quint16 smtpPort() const { return wskSmtp.LocalPort(); }

    modMain state;
    OptionValues options;
    SettingsStore settings;
    Winsock wskPop;
    Winsock wskSmtp;
    bool listening = false;
    std::unique_ptr<clsHotmail> session;
    std::unique_ptr<PopFrontEnd> pop;
    std::unique_ptr<SmtpFrontEnd> smtp;
    std::unique_ptr<SocketWatchdog> watchdog;
};
