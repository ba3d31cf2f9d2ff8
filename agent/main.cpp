// The Zorvane agent: start-up in its fixed order, then everything runs on
// events until one of the ways out unloads the window.

#include "AgentAssembly.h"
#include "AutoStartEntry.h"
#include "MessageBox.h"
#include "ShutdownSteps.h"
#include "SingleInstance.h"
#include "SystemCloseRequest.h"
#include "TrayArtwork.h"
#include "TrayIcon.h"
#include "VersionInfo.h"
#include "frmMain.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QSystemTrayIcon>

#include <cstdio>
#include <memory>
#include <optional>

namespace {

// Without a display there is no window, no tray and no box anyone could
// answer. On Linux, no X11 or Wayland display means the same; the offscreen
// platform is chosen before the application starts.
bool startHeadless()
{
    if (qEnvironmentVariable("QT_QPA_PLATFORM") == QLatin1String("offscreen"))
        return true;
#ifdef Q_OS_LINUX
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        return true;
    }
#endif
    return false;
}

MessageBox::Icon boxIcon(modMain::BoxIcon icon)
{
    switch (icon) {
    case modMain::BoxIcon::Critical:
        return MessageBox::Icon::Critical;
    case modMain::BoxIcon::Exclamation:
        return MessageBox::Icon::Exclamation;
    case modMain::BoxIcon::Information:
        break;
    }
    return MessageBox::Icon::Information;
}

// Headless, the on-screen log is the user's only view of the agent: its
// lines go to standard output as well.
void echoScreenToStdout(modMain &state)
{
    QObject::connect(&state.Screen, &OnScreenLog::appended, [](const QString &chunk, bool) {
        QString text = chunk;
        text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
        const QByteArray bytes = text.toLocal8Bit();
        std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
        std::fflush(stdout);
    });
}

void showBoxesHeadless(modMain &state)
{
    state.messageBoxWithIcon = [&state](modMain::BoxIcon icon, const QString &title, const QString &text) {
        MessageBox::Show(boxIcon(icon), title, text);
        state.AddLogLine(text);
    };
}

// The agent's settings live in the settings store, not on its command line:
// it answers --help and --version, and refuses anything else rather than
// start with an argument it would silently ignore. The exit status when the
// program ends here.
std::optional<int> answerCommandLine()
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("The Zorvane mail agent: POP3 and SMTP on local ports for the account of a web mail service.\n"
                       "Its settings are kept in the settings store (on Linux $XDG_CONFIG_HOME/Zorvane/Zorvane.ini),\n"
                       "set in its window; without a display it runs without window and tray until SIGTERM."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    if (!parser.parse(QCoreApplication::arguments())) {
        std::fprintf(stderr, "Zorvane: %s\nZorvane: see Zorvane --help\n", qPrintable(parser.errorText()));
        return 2;
    }
    if (!parser.positionalArguments().isEmpty()) {
        std::fprintf(stderr,
                     "Zorvane: unexpected argument \"%s\"; the agent takes its settings from the settings store\n",
                     qPrintable(parser.positionalArguments().constFirst()));
        return 2;
    }
    if (parser.isSet(help)) {
        std::printf("%s", qPrintable(parser.helpText()));
        return 0;
    }
    if (parser.isSet(version)) {
        std::printf("%s\n", qPrintable(VersionInfo::VersionLine()));
        return 0;
    }
    return std::nullopt;
}

} // namespace

int main(int argc, char *argv[])
{
    const bool headless = startHeadless();
    // The plain event dispatcher for the program's one thread: it keeps its
    // socket notifiers in its own tables, where glib's wakes its poll through
    // an extra descriptor whenever one is switched on or off, several system
    // calls on every request to the service. Programs the agent starts keep
    // the environment as it was.
    const bool dispatcherChosen = qEnvironmentVariableIsSet("QT_NO_GLIB");
    if (!dispatcherChosen)
        qputenv("QT_NO_GLIB", "1");
    QApplication app(argc, argv);
    if (!dispatcherChosen)
        qunsetenv("QT_NO_GLIB");
    QApplication::setApplicationName(VersionInfo::Title());
    QApplication::setApplicationVersion(
        QStringLiteral("%1.%2.%3").arg(VersionInfo::Major()).arg(VersionInfo::Minor()).arg(VersionInfo::Revision()));
    // Every window of the program, the message boxes too, shows its icon.
    if (!headless)
        QApplication::setWindowIcon(TrayArtwork::IconFor(TrayStatus::Icon::Program));
    // The agent lives on in the tray when its window is hidden or closed;
    // only the unload ends it.
    QApplication::setQuitOnLastWindowClosed(false);
    if (const std::optional<int> status = answerCommandLine())
        return *status;

    // One instance per user; nothing else is created, read or shown.
    SingleInstance instance;
    if (!instance.tryLock()) {
        MessageBox::Show(MessageBox::Icon::Information, QStringLiteral("Zorvane Info"),
                         QStringLiteral("Another instance of Zorvane is already running."));
        return 1;
    }

    // Caught from here on: a close request that comes during start-up (a
    // test or a service manager may send one as soon as the version line is
    // out) waits in its pipe until the agent runs, instead of killing it.
    SystemCloseRequest closeRequest;

    AgentAssembly agent;
    modMain &state = agent.State();
    AutoStartEntry autoStart;
    if (headless) {
        showBoxesHeadless(state);
        echoScreenToStdout(state);
    } else {
        state.messageBoxWithIcon = [](modMain::BoxIcon icon, const QString &title, const QString &text) {
            MessageBox::Show(boxIcon(icon), title, text);
        };
    }

    // The window load: settings into the controls, the window shown or
    // kept in the tray, the tray icon with the idle tip. The front ends
    // then read the window's check boxes.
    std::unique_ptr<frmMain> window;
    std::unique_ptr<TrayIcon> tray;
    Preferences startValues = agent.StoredPreferences();
    if (!headless) {
        window = std::make_unique<frmMain>(state, agent.Store(), autoStart);
        window->SetSockets(&agent.PopSocket(), &agent.SmtpSocket());
        window->SetTrayAvailable(QSystemTrayIcon::isSystemTrayAvailable());
        agent.UseOptions(window.get());
        window->Form_Load();
        startValues = window->ControlValues();
        state.TrayData.set(TrayStatus::Icon::Program, TrayStatus::Idle);
        tray = std::make_unique<TrayIcon>(state.TrayData);
        tray->add();
        QObject::connect(tray.get(), &TrayIcon::restoreRequested, window.get(), &frmMain::mPopRestore_Click);
        QObject::connect(tray.get(), &TrayIcon::exitRequested, window.get(), &frmMain::cmdCancel_Click);
        QObject::connect(window.get(), &frmMain::unloaded, &app, &QCoreApplication::quit, Qt::QueuedConnection);
    }

    // Listeners, session, front ends, watchdog, version line, log file.
    agent.Start(startValues);

    // The system's close request takes the close box's way: no settings saved.
    QObject::connect(&closeRequest, &SystemCloseRequest::requested, &app, [&] {
        if (window) {
            window->close();
            return;
        }
        agent.Unload();
        QCoreApplication::quit();
    });
    closeRequest.startDelivering();

    const int status = app.exec();

    // The final clean-up: the tray icon goes, the log file is closed; then
    // the window goes, and after it the agent's parts with the session (no
    // logoff is sent).
    if (tray)
        tray->remove();
    ShutdownSteps::CloseLog(state);
    return status;
}
