#include "CommandLineAccount.h"
#include "Diagnostics.h"

#include <QApplication>
#include <QByteArray>
#include <QGuiApplication>
#include <QUrl>

#include <cstdio>

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

    Diagnostics form;
    bool missingName = false;
    if (const std::optional<QString> user = CommandLineAccount::UserName(app.arguments(), &missingName)) {
        form.SetText1(*user);
        // With a window the password is typed into its box.
        form.SetText2(Headless() ? CommandLineAccount::ReadPassword(stdin) : QString());
    } else if (missingName) {
        std::fputs("Zorvane_Diagnostics: --user needs a user name\n", stderr);
        return 2;
    }
    if (Headless())
        return RunOnce(form);
    form.show();
    return app.exec();
}
