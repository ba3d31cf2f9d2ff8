#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// The command line of zorvane-service.
struct ServiceOptions
{
    static constexpr quint16 DefaultPort = 8910; // the port the agent's stored addresses name

    enum class Outcome { Run, ShowHelp, ShowVersion, Refuse };

    QString dataDir;
    quint16 port = DefaultPort;
    QByteArray host = "127.0.0.1";
    QByteArray mailDomain = "zorvane.test";
    QString tlsCertificateFile;
    QString tlsKeyFile;
    QString publicUrl;
    bool demo = false;
    bool quiet = false;

    // Refuse comes with *message naming the option and what is wrong; the
    // help and the version come with *message holding their text.
    Outcome parse(const QStringList &arguments, QString *message);
    // host[:port] as it appears in addresses; a wildcard host is shown as loopback.
    QByteArray addressHost(quint16 boundPort) const;
};
