// Whole requests to the reference service, without a socket: any verb, any
// target, any headers and body, against a data folder with three accounts
// (plain, alternative, redirected) and a few messages. The store is put back
// before every input so that each input is judged on its own.
//
// Input: the request as on the wire, LF or CRLF line ends: the request
// line, header lines, an empty line, the body. Without an Authorization
// header the request carries the plain account's credentials. A Basic
// header is decoded here as the HTTP server would decode it.

#include "FuzzHarness.h"

#include "MailService.h"

#include <QDirIterator>
#include <QFile>

namespace {

constexpr qint64 FixedClock = 1733557200; // the nonce's time never runs out during a run

struct Fixture
{
    Fixture()
        : dataDir(FuzzHarness::privateFolder(QStringLiteral("service")))
        , templateDir(FuzzHarness::privateFolder(QStringLiteral("service-template")))
    {
        writeFile(templateDir + QStringLiteral("/mail/demo@zorvane.test/new/1733557140.M0P900.mx"),
                  "From: Ann <ann@example.org>\nSubject: one\n\nBody one.\n.\n");
        writeFile(templateDir + QStringLiteral("/mail/demo@zorvane.test/cur/1733557200.M1P900.mx:2,S"),
                  "Subject: two\r\n\r\nBody two.\r\n");
        writeFile(templateDir + QStringLiteral("/mail/demo@zorvane.test/.Deleted Items/cur/1733557260.M2P900.mx:2,S"),
                  "Subject: three\r\n\r\nGone.\r\n");
        writeFile(templateDir + QStringLiteral("/mail/bob@alt.zorvane.test/new/1733557300.M3P900.mx"),
                  "Subject: alt\r\n\r\nAlt.\r\n");
        restore();
        writeFile(dataDir + QStringLiteral("/accounts"),
                  "demo@zorvane.test demo\nbob@alt.zorvane.test bob\nred@zorvane.test red redirect\n");
        MailService::Settings settings;
        settings.dataDir = dataDir;
        settings.clock = [] { return FixedClock; };
        service = std::make_unique<MailService>(settings);
    }

    static void writeFile(const QString &path, const QByteArray &bytes)
    {
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            std::abort();
    }

    // The mail folders as the template has them; the accounts file stays.
    void restore()
    {
        QDir(dataDir + QStringLiteral("/mail")).removeRecursively();
        QDir(dataDir + QStringLiteral("/outbox")).removeRecursively();
        QDirIterator it(templateDir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString from = it.next();
            const QString to = dataDir + from.mid(templateDir.size());
            QDir().mkpath(QFileInfo(to).path());
            QFile::copy(from, to);
        }
        for (const char *account : {"demo@zorvane.test", "bob@alt.zorvane.test", "red@zorvane.test"})
            for (const char *sub : {"new", "cur", "tmp"})
                QDir().mkpath(dataDir + QStringLiteral("/mail/") + QLatin1String(account) + QLatin1Char('/')
                              + QLatin1String(sub));
    }

    QString dataDir;
    QString templateDir;
    std::unique_ptr<MailService> service;
};

HttpRequest requestFrom(const QByteArray &bytes)
{
    HttpRequest request;
    qsizetype at = 0;
    const auto nextLine = [&]() {
        const qsizetype lf = bytes.indexOf('\n', at);
        const qsizetype end = lf < 0 ? bytes.size() : lf;
        QByteArray line = bytes.mid(at, end - at);
        at = lf < 0 ? bytes.size() : lf + 1;
        if (line.endsWith('\r'))
            line.chop(1);
        return line;
    };
    const QByteArray requestLine = nextLine();
    const qsizetype blank = requestLine.indexOf(' ');
    request.method = blank < 0 ? requestLine : requestLine.left(blank);
    request.rawTarget = blank < 0 ? QByteArray("/") : requestLine.mid(blank + 1);
    if (request.rawTarget.endsWith(" HTTP/1.1"))
        request.rawTarget.chop(9);
    while (at < bytes.size()) {
        const QByteArray line = nextLine();
        if (line.isEmpty())
            break;
        const qsizetype colon = line.indexOf(':');
        if (colon > 0)
            request.headers.insert(line.left(colon).trimmed().toLower(), line.mid(colon + 1).trimmed());
    }
    request.body = bytes.mid(at);
    const QByteArray authorization = request.headers.value("authorization");
    if (authorization.isEmpty()) {
        request.basic = BasicCredentials{"demo", "demo"};
    } else if (authorization.startsWith("Basic ")) {
        const QByteArray decoded = QByteArray::fromBase64(authorization.mid(6));
        const qsizetype colon = decoded.indexOf(':');
        if (colon >= 0)
            request.basic = BasicCredentials{decoded.left(colon), decoded.mid(colon + 1)};
    }
    if (!request.headers.contains("host"))
        request.headers.insert("host", "127.0.0.1:8910");
    return request;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FuzzHarness::start();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Fixture *fixture = new Fixture;
    fixture->restore();
    const HttpRequest request = requestFrom(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)));
    HttpResponse response = fixture->service->serve(request);
    response.takeBody();
    const QByteArray detail = request.method + ' ' + request.rawTarget;
    FuzzHarness::require(response.status >= 100 && response.status <= 999, "status out of range", detail);
    if (response.status >= 400)
        FuzzHarness::require(!response.header("X-Zorvane-Reason").isEmpty(), "a refusal without a reason",
                             detail + '\n' + response.body);
    for (const auto &[name, value] : response.headers)
        FuzzHarness::require(!name.contains('\n') && !value.contains('\n') && !value.contains('\r'),
                             "a header that splits the answer", detail + '\n' + name + ": " + value);
    // Nothing is ever written outside the data folder's own places.
    const QStringList top = QDir(fixture->dataDir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    for (const QString &entry : top)
        FuzzHarness::require(entry == QLatin1String("accounts") || entry == QLatin1String("mail")
                                 || entry == QLatin1String("outbox"),
                             "a file outside the store", entry.toUtf8() + '\n' + detail);
    return 0;
}
