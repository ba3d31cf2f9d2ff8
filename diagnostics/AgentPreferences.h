#pragma once

#include <QString>

// The agent's settings section Preferences, read-only: the diagnostics program
// shares nothing else with the agent. On Linux and macOS the INI file
// $XDG_CONFIG_HOME/Zorvane/Zorvane.ini, on Windows the user's registry branch
// of the application Zorvane.
class AgentPreferences
{
public:
    static constexpr auto DefaultPop3Port = "110";
    static constexpr auto DefaultSmtpPort = "25";

    // Reads the store as it is now; a missing store gives every default.
    AgentPreferences();

    // The port texts as stored, each with its default when the key is missing.
    QString Pop3Port() const { return m_pop3Port; }
    QString SmtpPort() const { return m_smtpPort; }
    // The service address the agent logs in to, empty when not configured.
    QString ServiceUrl() const { return m_serviceUrl; }
    // The PEM file of further certificate authorities the agent trusts,
    // empty when not configured.
    QString CaCertificates() const { return m_caCertificates; }

    static QString IniPath();

private:
    QString m_pop3Port;
    QString m_smtpPort;
    QString m_serviceUrl;
    QString m_caCertificates;
};
