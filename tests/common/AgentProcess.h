#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QProcess>
#include <QString>

#include <csignal>

// The real Zorvane program, started headless as a user would start it, with
// its own settings, runtime and temp folders under root. Its listeners take
// port 0, and the ports the system gave them are read back from the lines
// the agent prints ("POP3 port 40123"), so no two tests can race for a port.
class AgentProcess
{
public:
    // Offscreen: QT_QPA_PLATFORM=offscreen. NoDisplay: no platform named and
    // no display, which the agent must notice by itself.
    enum class Display { Offscreen, NoDisplay };

    explicit AgentProcess(const QString &root);
    // Stops the agent; when the running test failed, first shows what it wrote.
    ~AgentProcess();

    // The port a listener started on port 0 announced in output; 0 when
    // output names none for the protocol ("POP3" or "SMTP").
    static quint16 AnnouncedPort(QByteArrayView output, QByteArrayView protocol);

    QString path(const QString &relative) const;
    QString settingsPath() const;
    QString logFolder() const;
    QString logFilePath() const;

    // The [Preferences] section: ports 0, the service's addresses, and more
    // "Key=value" lines.
    void writeSettings(const QString &serviceUrl, const QString &altServiceUrl, const QByteArray &more = QByteArray());
    // The whole settings file as given.
    void writeSettingsText(const QByteArray &text);
    QByteArray settingsBytes() const;

    // Starts and waits until start-up has ended (the version line is out);
    // false when it did not, or when a listener started on port 0 did not
    // announce its port.
    bool start(Display display = Display::Offscreen);
    // Starts without waiting; waitUntilRunning() or waitForExit() follow.
    void launch(Display display = Display::Offscreen);
    bool waitUntilRunning();
    bool waitForExit();
    // The signal (SIGTERM unless told), then the wait for the end; false
    // when it had to be killed.
    bool stop(int signal = SIGTERM);
    bool isRunning() const;
    qint64 pid() const;
    int exitCode() const { return m_process.exitCode(); }
    QProcess::ExitStatus exitStatus() const { return m_process.exitStatus(); }

    // Ports of the last start; 0 for a port the settings named.
    quint16 pop3Port() const { return m_pop3Port; }
    quint16 smtpPort() const { return m_smtpPort; }
    // Everything the program wrote so far.
    QByteArray standardOutput();
    QByteArray standardError();
    // Waits until standard output holds text.
    bool waitForOutput(const QByteArray &text, int timeoutMs = 30000);

private:
    void collect();
    void readAnnouncedPorts();

    QString m_root;
    QProcess m_process;
    QByteArray m_out;
    QByteArray m_err;
    quint16 m_pop3Port = 0;
    quint16 m_smtpPort = 0;
    // writeSettings asked for port 0 on both listeners.
    bool m_portsChosenBySystem = false;
    qsizetype m_runStart = 0;
};
