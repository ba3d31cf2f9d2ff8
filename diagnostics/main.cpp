#include "CommandLineAccount.h"
#include "Diagnostics.h"

#include <QApplication>
#include <QByteArray>
#include <QCommandLineParser>
#include <QGuiApplication>
#include <QUrl>

#include <cstdio>
#include <optional>

namespace {

// Without a display the window cannot be shown; the checks then run once and
// the report goes to standard output.
bool DisplayAvailable()
{
#if defined(Q_OS_LINUX) || defined(Q_OS_FREEBSD)
    return qEnvironmentVariableIsSet("QT_QPA_PLATFORM") || !qEnvironmentVariableIsEmpty("DISPLAY")
        || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
#else
    return true;
#endif
}

bool Headless()
{
    const QString platform = QGuiApplication::platformName();
    return platform == QLatin1String("offscreen") || platform == QLatin1String("minimal");
}

void Print(const QString &text)
{
    QString lines = text;
    lines.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    const QByteArray bytes = lines.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
}

// The program has no settings of its own: it answers --help and --version,
// takes the account to test with --user and refuses anything else. The exit
// status when the program ends here; the named account through user.
std::optional<int> AnswerCommandLine(std::optional<QString> *user)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Zorvane Diagnostics: checks what the Zorvane agent needs (its ports, the HTTP component, the web mail\n"
        "service with a user name and password, a proxy in the way) and says what it found in plain words.\n"
        "Without a display the checks run once and the report goes to standard output."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption account(QStringLiteral("user"),
                                     QStringLiteral("Test the account <name>; without a display its password is read "
                                                    "from standard input (one line, not echoed on a terminal)."),
                                     QStringLiteral("name"));
    parser.addOption(account);
    if (!parser.parse(QCoreApplication::arguments())) {
        std::fprintf(stderr, "Zorvane_Diagnostics: %s\nZorvane_Diagnostics: see Zorvane_Diagnostics --help\n",
                     qPrintable(parser.errorText()));
        return 2;
    }
    if (!parser.positionalArguments().isEmpty()) {
        std::fprintf(stderr, "Zorvane_Diagnostics: unexpected argument \"%s\"; the program takes none\n",
                     qPrintable(parser.positionalArguments().constFirst()));
        return 2;
    }
    if (parser.isSet(help)) {
        std::printf("%s", qPrintable(parser.helpText()));
        return 0;
    }
    if (parser.isSet(version)) {
        std::printf("%s %s\n", qPrintable(QCoreApplication::applicationName()),
                    qPrintable(QCoreApplication::applicationVersion()));
        return 0;
    }
    if (parser.isSet(account)) {
        const QString name = parser.value(account);
        if (name.isEmpty()) {
            std::fputs("Zorvane_Diagnostics: --user needs a user name\n", stderr);
            return 2;
        }
        *user = name;
    }
    return std::nullopt;
}

int RunOnce(Diagnostics &form)
{
    QString helpPage;
    form.SetHelpPageOpener([&helpPage](const QUrl &page) {
        helpPage = page.toLocalFile();
        return true;
    });
    form.Command1_Click();
    QString output = form.Text3() + QStringLiteral("\n\n") + form.Text4() + QLatin1Char('\n');
    if (!helpPage.isEmpty())
        output += QStringLiteral("\nHelp: ") + helpPage + QLatin1Char('\n');
    Print(output);
    std::fflush(stdout);
    return form.Text4().startsWith(QStringLiteral("Connection attempt successful.")) ? 0 : 1;
}

} // namespace

int main(int argc, char *argv[])
{
    if (!DisplayAvailable())
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Zorvane_Diagnostics"));
    QApplication::setApplicationVersion(QStringLiteral(ZORVANE_DIAGNOSTICS_VERSION));
    std::optional<QString> user;
    if (const std::optional<int> status = AnswerCommandLine(&user))
        return *status;

    Diagnostics form;
    if (user) {
        form.SetText1(*user);
        // With a window the password is typed into its box.
        form.SetText2(Headless() ? CommandLineAccount::ReadPassword(stdin) : QString());
    }
    if (Headless())
        return RunOnce(form);
    form.show();
    return app.exec();
}
