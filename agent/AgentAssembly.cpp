#include "AgentAssembly.h"

#include "ListenerStartup.h"
#include "PopFrontEnd.h"
#include "ShutdownSteps.h"
#include "SmtpFrontEnd.h"
#include "SocketWatchdog.h"
#include "VersionInfo.h"
#include "clsHotmail.h"

#include <cstdio>

namespace {

OptionValues optionsFrom(const Preferences &preferences)
{
    OptionValues options;
    options.listUnreadOnly = preferences.ListUnreadOnly;
    options.markReadOnServer = preferences.MarkReadOnServer;
    options.deleteOnServer = preferences.DeleteOnServer;
    options.saveSentItems = preferences.SaveSentItems;
    options.collectPOP3 = preferences.CollectPOP3;
    options.localhostOnly = preferences.LocalhostOnly;
    options.sameUserOnly = preferences.SameUserOnly;
    return options;
}

// Started on port 0, a listener takes whatever port the system gives it;
// whoever started the agent reads that port from standard output. A port
// that was set is never announced: nothing changes for a user with ports of
// their own.
void announceChosenPort(const QString &portText, const Winsock &socket, const QString &protocol)
{
    if (ListenerStartup::ParsePortText(portText) != quint16(0) || socket.State() != Winsock::sckListening)
        return;
    std::printf("%s port %u\n", qPrintable(protocol), unsigned(socket.LocalPort()));
    std::fflush(stdout);
}

} // namespace

AgentAssembly::AgentAssembly()
    : AgentAssembly(Options())
{
}

AgentAssembly::AgentAssembly(const Options &options)
    : m_options(options)
    , m_store(options.settingsPath.isEmpty() ? SettingsStore::defaultPath() : options.settingsPath)
{
    m_state.Settings = &m_store;
    m_state.SetOptions(&m_headlessOptions);
}

AgentAssembly::~AgentAssembly()
{
    // The parts that use the session go before it.
    m_watchdog.reset();
    m_smtpFrontEnd.reset();
    m_popFrontEnd.reset();
    m_state.MailSession = nullptr;
    m_session.reset();
}

void AgentAssembly::UseOptions(const AgentOptions *options)
{
    m_windowOptions = options;
    m_state.SetOptions(options);
}

void AgentAssembly::Start(const Preferences &startValues)
{
    if (!m_windowOptions)
        m_headlessOptions = optionsFrom(startValues);
    startListener(m_wskPop, startValues.Pop3Port, QStringLiteral("POP3"));
    startListener(m_wskSmtp, startValues.SmtpPort, QStringLiteral("SMTP"));
    buildSessionAndFrontEnds();

    // The version line, before the log file is opened, so it never
    // reaches the file.
    m_state.AddLogLine(VersionInfo::VersionLine());
    m_state.StartFileLog(startValues.DebugMode);
    m_state.SameUser.AnnounceAtStart(m_state);
}

void AgentAssembly::Unload()
{
    ShutdownSteps::Unload(m_state, m_wskPop, m_wskSmtp);
}

void AgentAssembly::startListener(Winsock &socket, const QString &portText, const QString &protocol)
{
    ListenerStartup::Start(m_state, socket, portText, protocol);
    announceChosenPort(portText, socket, protocol);
}

// The session first; then the front ends, which begin in their first
// dialogue state; then the watchdog, whose healed socket starts its
// dialogue afresh.
void AgentAssembly::buildSessionAndFrontEnds()
{
    m_session = std::make_unique<clsHotmail>(m_state);
    if (m_options.sessionPollIntervalMs)
        m_session->setPollIntervalMs(*m_options.sessionPollIntervalMs);
    m_state.MailSession = m_session.get();
    m_popFrontEnd = std::make_unique<PopFrontEnd>(m_state, m_wskPop);
    m_smtpFrontEnd = std::make_unique<SmtpFrontEnd>(m_state, m_wskSmtp);
    if (!m_options.socketWatchdog)
        return;
    m_watchdog = std::make_unique<SocketWatchdog>(m_state, m_wskPop, m_wskSmtp);
    QObject::connect(m_watchdog.get(), &SocketWatchdog::PopRecovered, m_popFrontEnd.get(), &PopFrontEnd::ResetDialogue);
    QObject::connect(m_watchdog.get(), &SocketWatchdog::SmtpRecovered, m_smtpFrontEnd.get(),
                     &SmtpFrontEnd::ResetDialogue);
    m_watchdog->start();
}
