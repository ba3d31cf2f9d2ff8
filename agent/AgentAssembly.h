#pragma once

#include "AgentOptions.h"
#include "Preferences.h"
#include "SettingsStore.h"
#include "Winsock.h"
#include "modMain.h"

#include <QString>

#include <memory>
#include <optional>

class PopFrontEnd;
class SmtpFrontEnd;
class SocketWatchdog;
class clsHotmail;

// The agent's parts, built and wired in the one order the program starts
// them in: the settings store and the program state, both sockets, then,
// once the options are known, the listeners, the web mail session, both
// front ends and the socket watchdog. The program and every in-process test
// build the agent through this class, so the tests run the wiring that
// ships. Window, tray and message boxes are the program's own matter.
class AgentAssembly
{
public:
    struct Options
    {
        // The settings file; empty for the user's own settings store.
        QString settingsPath;
        // How often the session looks at its request while it waits for
        // one; tests shorten it to take a silent service past its limits
        // quickly. Empty keeps the session's own interval.
        std::optional<int> sessionPollIntervalMs;
        // Without the watchdog nothing but the front ends themselves brings
        // a socket back to listening; a test sees what they do alone.
        bool socketWatchdog = true;
    };

    AgentAssembly();
    explicit AgentAssembly(const Options &options);
    ~AgentAssembly();
    AgentAssembly(const AgentAssembly &) = delete;
    AgentAssembly &operator=(const AgentAssembly &) = delete;

    // The front ends read their options from here at the moment of use:
    // the start values (HeadlessOptions, set by Start) unless the window
    // hands in its check boxes before Start.
    void UseOptions(const AgentOptions *options);

    // The rest of start-up, with the values the window was loaded with (or
    // those of the settings store): both listeners, each failure shown and
    // start-up going on; the session; the front ends; the watchdog; the
    // version line; the log file in debug mode. A listener started on port
    // 0 prints the port it got on standard output ("POP3 port 40123").
    void Start(const Preferences &startValues);
    void Start() { Start(StoredPreferences()); }

    // The window unload's steps: both sockets closed, the tray terminating.
    void Unload();

    Preferences StoredPreferences() const { return Preferences::Read(m_store); }

    SettingsStore &Store() { return m_store; }
    modMain &State() { return m_state; }
    OptionValues &HeadlessOptions() { return m_headlessOptions; }
    Winsock &PopSocket() { return m_wskPop; }
    Winsock &SmtpSocket() { return m_wskSmtp; }
    // Null until Start (the watchdog also when left out).
    clsHotmail *Session() const { return m_session.get(); }
    PopFrontEnd *Pop() const { return m_popFrontEnd.get(); }
    SmtpFrontEnd *Smtp() const { return m_smtpFrontEnd.get(); }
    SocketWatchdog *Watchdog() const { return m_watchdog.get(); }

private:
    void startListener(Winsock &socket, const QString &portText, const QString &protocol);
    void buildSessionAndFrontEnds();

    const Options m_options;
    SettingsStore m_store;
    modMain m_state;
    OptionValues m_headlessOptions;
    const AgentOptions *m_windowOptions = nullptr;
    Winsock m_wskPop;
    Winsock m_wskSmtp;
    std::unique_ptr<clsHotmail> m_session;
    std::unique_ptr<PopFrontEnd> m_popFrontEnd;
    std::unique_ptr<SmtpFrontEnd> m_smtpFrontEnd;
    std::unique_ptr<SocketWatchdog> m_watchdog;
};
