#include "ServiceOptions.h"

#include "AccountBook.h"

bool ServiceOptions::parse(const QStringList &arguments, QString *error, bool *help)
{
    *help = false;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        const auto value = [&]() -> QString {
            if (i + 1 >= arguments.size())
                return {};
            return arguments.at(++i);
        };
        if (argument == QLatin1String("--help") || argument == QLatin1String("-h")) {
            *help = true;
            return false;
        } else if (argument == QLatin1String("--data")) {
            dataDir = value();
        } else if (argument == QLatin1String("--port")) {
            bool ok = false;
            const uint number = value().toUInt(&ok);
            if (!ok || number > 65535) {
                *error = QStringLiteral("--port needs a number from 0 to 65535");
                return false;
            }
            port = quint16(number);
        } else if (argument == QLatin1String("--host")) {
            host = value().toUtf8();
        } else if (argument == QLatin1String("--domain")) {
            mailDomain = value().toLower().toUtf8();
            if (mailDomain.isEmpty() || !AccountBook::isUsableAddress("x@" + mailDomain)) {
                *error = QStringLiteral("--domain needs a mail domain");
                return false;
            }
        } else if (argument == QLatin1String("--demo")) {
            demo = true;
        } else if (argument == QLatin1String("--quiet")) {
            quiet = true;
        } else {
            *error = QStringLiteral("unknown argument %1").arg(argument);
            return false;
        }
    }
    if (dataDir.isEmpty()) {
        *error = QStringLiteral("--data DIR is required");
        return false;
    }
    if (host.isEmpty()) {
        *error = QStringLiteral("--host needs an address");
        return false;
    }
    return true;
}

QString ServiceOptions::usage()
{
    return QStringLiteral(
        "usage: zorvane-service --data DIR [--port PORT] [--host ADDRESS] [--domain DOMAIN] [--demo] [--quiet]\n"
        "  --data DIR      accounts file DIR/accounts, mail in DIR/mail/<address>/ (Maildir)\n"
        "  --port PORT     port to listen on (default 8910; 0 picks a free one)\n"
        "  --host ADDRESS  address to listen on (default 127.0.0.1)\n"
        "  --domain DOMAIN mail domain of bare user names (default zorvane.test)\n"
        "  --demo          create the demo accounts and their mail where missing\n"
        "  --quiet         no line per request on standard error\n");
}

QByteArray ServiceOptions::addressHost(quint16 boundPort) const
{
    QByteArray shown = host;
    if (shown == "0.0.0.0")
        shown = "127.0.0.1";
    else if (shown == "::")
        shown = "::1";
    if (shown.contains(':'))
        shown = '[' + shown + ']';
    return shown + ':' + QByteArray::number(boundPort);
}
