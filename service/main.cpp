// zorvane-service: the reference web mail service the agent talks to.

#include "DemoMailbox.h"
#include "HttpServer.h"
#include "MailService.h"
#include "ServiceAddress.h"
#include "ServiceOptions.h"
#include "TlsCredentials.h"

#include <QCoreApplication>
#include <QDir>

#include <csignal>
#include <cstdio>
#include <libxml/parser.h>
#include <pthread.h>

namespace {

void fail(const QString &message)
{
    std::fprintf(stderr, "zorvane-service: %s\n", message.toLocal8Bit().constData());
}

// Blocks the end signals in this thread and in every thread started later,
// so that only sigwait() below receives them.
sigset_t blockEndSignals()
{
    sigset_t endSet;
    sigemptyset(&endSet);
    sigaddset(&endSet, SIGTERM);
    sigaddset(&endSet, SIGINT);
    sigaddset(&endSet, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &endSet, nullptr);
    return endSet;
}

ServiceAddress addressOf(const ServiceOptions &options)
{
    if (!options.publicUrl.isEmpty()) {
        QString unused;
        if (auto address = ServiceAddress::fromPublicUrl(options.publicUrl, &unused))
            return *address; // checked when the options were read
    }
    return ServiceAddress(options.tlsCertificateFile.isEmpty() ? "http" : "https");
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv); // for the command line and file names only; no event loop
    QCoreApplication::setApplicationName(QStringLiteral("zorvane-service"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ZORVANE_SERVICE_VERSION));
    std::signal(SIGPIPE, SIG_IGN);
    const sigset_t endSignals = blockEndSignals();

    ServiceOptions options;
    QString message;
    switch (options.parse(QCoreApplication::arguments(), &message)) {
    case ServiceOptions::Outcome::Run:
        break;
    case ServiceOptions::Outcome::ShowHelp:
    case ServiceOptions::Outcome::ShowVersion:
        std::printf("%s\n", message.trimmed().toLocal8Bit().constData());
        return 0;
    case ServiceOptions::Outcome::Refuse:
        fail(message);
        fail(QStringLiteral("see zorvane-service --help"));
        return 2;
    }

    std::optional<HttpServer::Tls> tls;
    QString error;
    if (!options.tlsCertificateFile.isEmpty()) {
        const auto credentials = TlsCredentials::load(options.tlsCertificateFile, options.tlsKeyFile, &error);
        if (!credentials) {
            fail(error);
            return 1;
        }
        tls = HttpServer::Tls{credentials->certificatePem(), credentials->keyPem()};
    }
    options.dataDir = QDir(options.dataDir).absolutePath();
    if (options.demo && !DemoMailbox::create(options.dataDir, options.mailDomain, &error)) {
        fail(QStringLiteral("cannot create the demo mailbox: %1").arg(error));
        return 1;
    }
    if (!QDir(options.dataDir).exists()) {
        fail(QStringLiteral("the data folder %1 does not exist").arg(options.dataDir));
        return 1;
    }

    xmlInitParser();
    MailService::Settings settings;
    settings.dataDir = options.dataDir;
    settings.mailDomain = options.mailDomain;
    settings.address = addressOf(options);
    settings.log = [](const QString &line) { fail(line); };
    MailService service(settings);
    for (const QString &warning : service.accounts().warnings())
        fail(warning);

    HttpServer server(service, !options.quiet);
    if (!server.listen(options.host, options.port, &error)) {
        fail(error);
        return 1;
    }
    const QByteArray host = options.addressHost(server.port());
    service.setDefaultHost(host);
    if (!server.start(&error, tls)) {
        fail(error);
        return 1;
    }
    const QByteArray base = settings.address.base(host, host);
    std::printf("ServiceUrl=%s/dav/\nAltServiceUrl=%s/alt\n", base.constData(), base.constData());
    std::fflush(stdout);

    int received = 0;
    sigwait(&endSignals, &received);
    server.stop();
    xmlCleanupParser();
    return 0;
}
