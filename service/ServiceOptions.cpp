#include "ServiceOptions.h"

#include "AccountBook.h"
#include "ServiceAddress.h"

#include <QCommandLineParser>
#include <QCoreApplication>

namespace {

QString quoted(const QString &value)
{
    return QLatin1Char('"') + value + QLatin1Char('"');
}

} // namespace

ServiceOptions::Outcome ServiceOptions::parse(const QStringList &arguments, QString *message)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "The reference web mail service of the Zorvane agent: WebDAV over HTTP or HTTPS, mail kept in Maildirs.\n"
        "It prints the two addresses the agent needs (ServiceUrl=, AltServiceUrl=) and serves until SIGTERM."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption data(QStringLiteral("data"),
                                  QStringLiteral("Accounts file DIR/accounts, mail in DIR/mail/<address>/ (Maildir). "
                                                 "Required."),
                                  QStringLiteral("DIR"));
    const QCommandLineOption portOption(QStringLiteral("port"),
                                        QStringLiteral("Port to listen on (default 8910; 0 picks a free one)."),
                                        QStringLiteral("PORT"));
    const QCommandLineOption hostOption(QStringLiteral("host"),
                                        QStringLiteral("Address to listen on (default 127.0.0.1; 0.0.0.0 for all)."),
                                        QStringLiteral("ADDRESS"));
    const QCommandLineOption domain(QStringLiteral("domain"),
                                    QStringLiteral("Mail domain of bare user names (default zorvane.test)."),
                                    QStringLiteral("DOMAIN"));
    const QCommandLineOption tlsCert(QStringLiteral("tls-cert"),
                                     QStringLiteral("Serve HTTPS with this PEM certificate (chain); needs --tls-key."),
                                     QStringLiteral("FILE"));
    const QCommandLineOption tlsKey(QStringLiteral("tls-key"),
                                    QStringLiteral("The certificate's PEM private key, readable by its owner alone."),
                                    QStringLiteral("FILE"));
    const QCommandLineOption publicUrlOption(
        QStringLiteral("public-url"),
        QStringLiteral("The address clients reach the service at, scheme://host[:port][/prefix], for a service "
                       "behind a reverse proxy: every address the service writes begins with it."),
        QStringLiteral("URL"));
    const QCommandLineOption demoOption(QStringLiteral("demo"),
                                        QStringLiteral("Create the demo accounts and their mail where missing."));
    const QCommandLineOption quietOption(QStringLiteral("quiet"),
                                         QStringLiteral("No line per request on standard error."));
    parser.addOptions(
        {data, portOption, hostOption, domain, tlsCert, tlsKey, publicUrlOption, demoOption, quietOption});

    if (!parser.parse(arguments)) {
        *message = parser.errorText();
        return Outcome::Refuse;
    }
    if (parser.isSet(help)) {
        *message = parser.helpText();
        return Outcome::ShowHelp;
    }
    if (parser.isSet(version)) {
        *message = QCoreApplication::applicationName() + QLatin1Char(' ') + QCoreApplication::applicationVersion();
        return Outcome::ShowVersion;
    }
    if (!parser.positionalArguments().isEmpty()) {
        *message = QStringLiteral("unexpected argument %1; every setting is an option such as --data DIR")
                       .arg(quoted(parser.positionalArguments().constFirst()));
        return Outcome::Refuse;
    }
    const auto refuse = [&](const QString &text) {
        *message = text;
        return Outcome::Refuse;
    };

    dataDir = parser.value(data);
    if (dataDir.isEmpty())
        return refuse(QStringLiteral("--data DIR is required: the folder of the accounts file and the mail"));
    if (parser.isSet(portOption)) {
        bool ok = false;
        const uint number = parser.value(portOption).toUInt(&ok);
        if (!ok || number > 65535)
            return refuse(
                QStringLiteral("--port: %1 is no port number from 0 to 65535").arg(quoted(parser.value(portOption))));
        port = quint16(number);
    }
    if (parser.isSet(hostOption)) {
        host = parser.value(hostOption).toUtf8();
        if (host.isEmpty())
            return refuse(QStringLiteral("--host needs an address to listen on"));
    }
    if (parser.isSet(domain)) {
        mailDomain = parser.value(domain).toLower().toUtf8();
        if (mailDomain.isEmpty() || !AccountBook::isUsableAddress("x@" + mailDomain))
            return refuse(QStringLiteral("--domain: %1 is no mail domain").arg(quoted(parser.value(domain))));
    }
    tlsCertificateFile = parser.value(tlsCert);
    tlsKeyFile = parser.value(tlsKey);
    if (tlsCertificateFile.isEmpty() != tlsKeyFile.isEmpty())
        return refuse(tlsKeyFile.isEmpty()
                          ? QStringLiteral("--tls-cert needs --tls-key FILE, the certificate's private key")
                          : QStringLiteral("--tls-key needs --tls-cert FILE, the certificate it belongs to"));
    publicUrl = parser.value(publicUrlOption);
    QString reason;
    if (parser.isSet(publicUrlOption) && !ServiceAddress::fromPublicUrl(publicUrl, &reason))
        return refuse(QStringLiteral("--public-url: %1: %2").arg(quoted(publicUrl), reason));
    demo = parser.isSet(demoOption);
    quiet = parser.isSet(quietOption);
    return Outcome::Run;
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
