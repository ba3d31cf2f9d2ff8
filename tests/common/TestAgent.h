#pragma once

#include "AgentAssembly.h"
#include "AgentOptions.h"
#include "PopFrontEnd.h"
#include "SmtpFrontEnd.h"
#include "SocketWatchdog.h"
#include "clsHotmail.h"

#include <QString>
#include <QStringList>

// The agent assembled inside a test exactly as the program assembles it,
// headless, both listeners on ports the system chooses, against the given
// service. The start options go into the settings store as the window would
// have saved them; the test may change options afterwards, as a user ticks
// a box. Message boxes and the on-screen log are collected for the test.
class TestAgent
{
public:
    // Waits of a test for the agent's own doing (a socket listening again).
    static constexpr int AgentWaitLimitMs = 30000;

    // parts: the test's knobs of the assembly; its settings path is the
    // one given first.
    TestAgent(const QString &settingsPath, const QString &serviceUrl, const QString &altServiceUrl,
              const OptionValues &startOptions = {}, AgentAssembly::Options parts = {});

    // Start options that list every message, read or not; a retrieved
    // message is marked read and deleted on the service as asked.
    static OptionValues listingAll(bool markReadOnServer, bool deleteOnServer);

    // The knobs of the assembly a test turns.
    static AgentAssembly::Options sessionPolledEvery(int pollIntervalMs);
    static AgentAssembly::Options withoutWatchdog();

    quint16 pop3Port() const { return wskPop.LocalPort(); }
    quint16 smtpPort() const { return wskSmtp.LocalPort(); }
    QString screenLog() const { return state.Screen.text(); }
    bool listensAgain(int timeoutMs = AgentWaitLimitMs);
    void storePassword(const QString &account, const QByteArray &password);

private:
    AgentAssembly m_assembly;

public:
    modMain &state;
    OptionValues &options;
    SettingsStore &settings;
    Winsock &wskPop;
    Winsock &wskSmtp;
    clsHotmail *const session;
    PopFrontEnd *const pop;
    SmtpFrontEnd *const smtp;
    SocketWatchdog *const watchdog;
    // Both sockets listened once start-up was done.
    const bool listening;
    QStringList boxes;
    QString screen; // everything the on-screen log was given, never cleared
};
