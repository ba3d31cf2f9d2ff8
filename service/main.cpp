// zorvane-service: the reference web mail service the agent talks to.

#include "DemoMailbox.h"
#include "HttpServer.h"
#include "MailService.h"
#include "ServiceOptions.h"

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

// Blocks the end endSet in this thread and in every thread started later,
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

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv); // for the command line and file names only; no event loop
    std::signal(SIGPIPE, SIG_IGN);
    const sigset_t endSignals = blockEndSignals();

    ServiceOptions options;
    QString error;
    bool help = false;
    if (!options.parse(QCoreApplication::arguments(), &error, &help)) {
        if (!help)
            fail(error);
        std::fputs(ServiceOptions::usage().toLocal8Bit().constData(), help ? stdout : stderr);
        return help ? 0 : 2;
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
    if (!server.start(&error)) {
        fail(error);
        return 1;
    }
    std::printf("ServiceUrl=http://%s/dav/\nAltServiceUrl=http://%s/alt\n", host.constData(), host.constData());
    std::fflush(stdout);

    int received = 0;
    sigwait(&endSignals, &received);
    server.stop();
    xmlCleanupParser();
    return 0;
}
