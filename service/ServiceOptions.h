#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// The command line of zorvane-service.
struct ServiceOptions
{
    static constexpr quint16 DefaultPort = 8910; // the port the agent's stored addresses name

    QString dataDir;
    quint16 port = DefaultPort;
    QByteArray host = "127.0.0.1";
    QByteArray mailDomain = "zorvane.test";
    bool demo = false;
    bool quiet = false;

    // False with *error set (or *help) when the arguments are not usable.
    bool parse(const QStringList &arguments, QString *error, bool *help);
    static QString usage();
    // host[:port] as it appears in addresses; a wildcard host is shown as loopback.
    QByteArray addressHost(quint16 boundPort) const;
};
