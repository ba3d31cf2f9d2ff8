#include "TestAgent.h"

#include "Preferences.h"
#include "StoredTexts.h"

#include <QTest>

namespace {

AgentAssembly::Options withSettings(AgentAssembly::Options parts, const QString &settingsPath)
{
    parts.settingsPath = settingsPath;
    return parts;
}

// What the window saves: the check boxes and the ports, here port 0 for both.
void saveStartValues(SettingsStore &store, const QString &serviceUrl, const QString &altServiceUrl,
                     const OptionValues &options)
{
    Preferences preferences;
    preferences.AutoStart = false;
    preferences.ListUnreadOnly = options.listUnreadOnly;
    preferences.MarkReadOnServer = options.markReadOnServer;
    preferences.DeleteOnServer = options.deleteOnServer;
    preferences.SaveSentItems = options.saveSentItems;
    preferences.CollectPOP3 = options.collectPOP3;
    preferences.LocalhostOnly = options.localhostOnly;
    preferences.Pop3Port = QStringLiteral("0");
    preferences.SmtpPort = QStringLiteral("0");
    if (!preferences.Save(store))
        qFatal("cannot write the test's settings");
    store.setValue(Preferences::Section, QStringLiteral("SameUserOnly"),
                   options.sameUserOnly ? QStringLiteral("1") : QStringLiteral("0"));
    store.setValue(Preferences::Section, QStringLiteral("ServiceUrl"), serviceUrl);
    store.setValue(Preferences::Section, QStringLiteral("AltServiceUrl"), altServiceUrl);
}

// Starts the assembly and hands it back, so the members below can refer to
// the parts it built.
AgentAssembly &started(AgentAssembly &assembly, const QString &serviceUrl, const QString &altServiceUrl,
                       const OptionValues &options)
{
    saveStartValues(assembly.Store(), serviceUrl, altServiceUrl, options);
    assembly.Start();
    return assembly;
}

} // namespace

TestAgent::TestAgent(const QString &settingsPath, const QString &serviceUrl, const QString &altServiceUrl,
                     const OptionValues &startOptions, AgentAssembly::Options parts)
    : m_assembly(withSettings(std::move(parts), settingsPath))
    , state(started(m_assembly, serviceUrl, altServiceUrl, startOptions).State())
    , options(m_assembly.HeadlessOptions())
    , settings(m_assembly.Store())
    , wskPop(m_assembly.PopSocket())
    , wskSmtp(m_assembly.SmtpSocket())
    , session(m_assembly.Session())
    , pop(m_assembly.Pop())
    , smtp(m_assembly.Smtp())
    , watchdog(m_assembly.Watchdog())
    , listening(wskPop.State() == Winsock::sckListening && wskSmtp.State() == Winsock::sckListening)
{
    state.messageBoxWithIcon = [this](modMain::BoxIcon, const QString &title, const QString &text) {
        boxes.append(title + QStringLiteral(": ") + text);
    };
    QObject::connect(&state.Screen, &OnScreenLog::appended, &state,
                     [this](const QString &chunk, bool) { screen += chunk; });
}

OptionValues TestAgent::listingAll(bool markReadOnServer, bool deleteOnServer)
{
    OptionValues options;
    options.listUnreadOnly = false;
    options.markReadOnServer = markReadOnServer;
    options.deleteOnServer = deleteOnServer;
    return options;
}

AgentAssembly::Options TestAgent::sessionPolledEvery(int pollIntervalMs)
{
    AgentAssembly::Options parts;
    parts.sessionPollIntervalMs = pollIntervalMs;
    return parts;
}

AgentAssembly::Options TestAgent::withoutWatchdog()
{
    AgentAssembly::Options parts;
    parts.socketWatchdog = false;
    return parts;
}

bool TestAgent::listensAgain(int timeoutMs)
{
    return QTest::qWaitFor([this] { return wskPop.State() == Winsock::sckListening; }, timeoutMs);
}

void TestAgent::storePassword(const QString &account, const QByteArray &password)
{
    settings.setValue(Preferences::AccountSection, account, EncipherText(password, account));
}
