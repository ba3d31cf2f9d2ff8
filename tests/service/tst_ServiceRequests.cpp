// The web mail service answering requests directly (no sockets), over a
// Maildir store in a temporary folder.

#include "DavRequestBody.h"
#include "MailService.h"
#include "MultistatusStream.h"
#include "ServiceTestSupport.h"
#include "SubmissionEnvelope.h"

#include <QCryptographicHash>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace ServiceTest;

namespace {

const QByteArray Host = "127.0.0.1:8910";
const QByteArray Base = "http://" + Host;
const QByteArray DemoHome = Base + "/mail/demo@zorvane.test/";
const QByteArray DemoInbox = DemoHome + "inbox/";

// Sets a file's modification time, so listing order is known.
void setMtime(const QString &path, qint64 seconds)
{
    const struct timespec times[2] = {{time_t(seconds), 0}, {time_t(seconds), 0}};
    ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0);
}

// What the HTTP server decodes from a Basic Authorization header before the
// service sees the request.
std::optional<BasicCredentials> basicCredentialsOf(const QByteArray &authorization)
{
    if (!authorization.startsWith("Basic "))
        return std::nullopt;
    const auto decoded = QByteArray::fromBase64Encoding(authorization.mid(6), QByteArray::AbortOnBase64DecodingErrors);
    const qsizetype colon = decoded ? decoded.decoded.indexOf(':') : -1;
    if (colon < 0)
        return std::nullopt;
    return BasicCredentials{decoded.decoded.left(colon), decoded.decoded.mid(colon + 1)};
}

bool isWellFormedXml(const QByteArray &document)
{
    xmlDocPtr parsed = xmlReadMemory(document.constData(), int(document.size()), "answer.xml", nullptr,
                                     XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    xmlFreeDoc(parsed);
    return parsed != nullptr;
}

// A propfind naming the given properties, in a namespace of its own when ns
// is given.
QByteArray propfindNaming(const QList<QByteArray> &names, const QByteArray &ns = "urn:other")
{
    QByteArray body = "<?xml version=\"1.0\"?><D:propfind xmlns:D=\"DAV:\" xmlns:o=\"" + ns + "\"><D:prop>";
    for (const QByteArray &name : names)
        body += "<o:" + name + "/>";
    return body + "</D:prop></D:propfind>";
}

QList<QByteArray> numberedNames(int count)
{
    QList<QByteArray> names;
    for (int i = 0; i < count; ++i)
        names.append("p" + QByteArray::number(i));
    return names;
}

QList<QByteArray> splitLed(const QByteArray &output, char mark)
{
    QList<QByteArray> pieces = output.split(mark);
    pieces.removeFirst(); // whatever stands before the first mark
    return pieces;
}

} // namespace

class tst_ServiceRequests : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void authentication();
    void digestNonceExpiresAndSurvivesARestart();
    void loginRedirectsAndAlternativeAccounts();
    void listingFollowsTheMaildir();
    void messagesOfAnySizeGoOutInTheirWireForm();
    void stylesheetsOnTheAnswers();
    void headerPropertiesKeepTheBytes();
    void markReadKeepsTheName();
    void moveToDeletedItems();
    void longNamesStayShortAndReachable();
    void submissionIsStoredWholeOrNotAtAll();
    void submissionRefusals_data();
    void submissionRefusals();
    void nullSenderIsTheAccountsOwn();
    void submissionWithAnIdIsStoredOnce();
    void foldersRemovedWhileRunningAreMadeAgain();
    void pathsCannotLeaveTheDataFolder_data();
    void pathsCannotLeaveTheDataFolder();
    void xmlBodiesAreParsedSafely();
    void accountsFileIsReadAgainWhenItChanges();
    void digestNonceCountsAreTracked();
    void namedPropertiesAreBounded();
    void unknownPropertiesAreAnsweredCompactly();
    void largeListingsGoOutInPieces();
    void onlyRegularFilesAreMessages();
    void failuresDoNotShowServerPaths();

private:
    void startService();
    HttpResponse send(const QByteArray &method, const QByteArray &target, const QByteArray &body = {},
                      QHash<QByteArray, QByteArray> headers = {}, const QByteArray &authorization = "default");
    QString inboxPath(const char *sub = "") const
    {
        return m_dir->path() + QStringLiteral("/mail/demo@zorvane.test/") + QLatin1String(sub);
    }
    QByteArray dropMessage(const char *sub, const QByteArray &fileName, const QByteArray &bytes, qint64 mtime);
    QByteArray applyStored(int entry, const QByteArray &answer);

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<MailService> m_service;
    qint64 m_now = 1733500000;
    QStringList m_log;
};

void tst_ServiceRequests::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    QVERIFY(writeFile(m_dir->filePath(QStringLiteral("accounts")),
                      "# test accounts\n"
                      "demo@zorvane.test demo\n"
                      "\n"
                      "Ann@Zorvane.test annpw\n"
                      "bob@alt.zorvane.test bobpw\n"
                      "carol@zorvane.test carolpw redirect\n"
                      "this line is wrong\n"));
    m_now = 1733500000;
    startService();
}

// The service over the test's data folder, on the test's clock; called
// again, a restart.
void tst_ServiceRequests::startService()
{
    MailService::Settings settings;
    settings.dataDir = m_dir->path();
    settings.mailDomain = "zorvane.test";
    settings.defaultHost = Host;
    settings.clock = [this] { return m_now; };
    settings.log = [this](const QString &line) { m_log.append(line); };
    m_log.clear();
    m_service = std::make_unique<MailService>(settings);
}

void tst_ServiceRequests::cleanup()
{
    m_service.reset();
    m_dir.reset();
}

HttpResponse tst_ServiceRequests::send(const QByteArray &method, const QByteArray &target, const QByteArray &body,
                                       QHash<QByteArray, QByteArray> headers, const QByteArray &authorization)
{
    HttpRequest request;
    request.method = method;
    request.rawTarget = target;
    request.body = body;
    if (!headers.contains("host"))
        headers.insert("host", Host);
    const QByteArray sent = authorization == "default" ? basicAuthorization("demo", "demo") : authorization;
    if (!sent.isEmpty())
        headers.insert("authorization", sent);
    request.headers = headers;
    request.basic = basicCredentialsOf(sent);
    HttpResponse response = m_service->serve(request);
    response.takeBody();
    return response;
}

QByteArray tst_ServiceRequests::dropMessage(const char *sub, const QByteArray &fileName, const QByteArray &bytes,
                                            qint64 mtime)
{
    const QString path = inboxPath(sub) + '/' + QString::fromUtf8(fileName);
    if (!writeFile(path, bytes))
        return {};
    setMtime(path, mtime);
    return fileName;
}

QByteArray tst_ServiceRequests::applyStored(int entry, const QByteArray &answer)
{
    bool ok = false;
    const QByteArray output = applyStylesheet(answer, storedText(entry), &ok);
    return ok ? output : QByteArray("(transformation failed)");
}

void tst_ServiceRequests::authentication()
{
    const HttpResponse anonymous = send("PROPFIND", "/dav/", {}, {}, {});
    QCOMPARE(anonymous.status, 401);
    QList<QByteArray> challenges;
    for (const auto &header : anonymous.headers) {
        if (header.first == "WWW-Authenticate")
            challenges << header.second;
    }
    QCOMPARE(challenges.size(), 2);
    QVERIFY(challenges.at(0).startsWith("Digest realm=\"zorvane.test\", qop=\"auth\""));
    QVERIFY(challenges.at(1).startsWith("Basic realm=\"zorvane.test\""));

    QCOMPARE(send("PROPFIND", "/dav/", {}, {}, basicAuthorization("demo", "wrong")).status, 401);
    QCOMPARE(send("PROPFIND", "/dav/", {}, {}, basicAuthorization("nobody", "demo")).status, 401);
    QCOMPARE(send("PROPFIND", "/dav/", {}, {}, "Bearer abc").status, 401);
    // The local part alone, the full address, and any letter case of the name.
    QCOMPARE(send("PROPFIND", "/dav/", {}, {}, basicAuthorization("demo", "demo")).status, 207);
    QCOMPARE(send("PROPFIND", "/dav/", {}, {}, basicAuthorization("ANN", "annpw")).status, 207);
    QCOMPARE(send("PROPFIND", "/dav/", {}, {}, basicAuthorization("ann@zorvane.test", "annpw")).status, 207);
    QCOMPARE(send("PROPFIND", "/dav/", {}, {}, basicAuthorization("ann@zorvane.test", "ANNPW")).status, 401);
    // Right credentials, someone else's mailbox.
    const HttpResponse foreign =
        send("PROPFIND", "/mail/demo@zorvane.test/inbox/", {}, {}, basicAuthorization("ann", "annpw"));
    QCOMPARE(foreign.status, 401);
    QCOMPARE(foreign.header("X-Zorvane-Reason"), QByteArray("these credentials belong to another account"));
    QVERIFY(foreign.header("WWW-Authenticate").startsWith("Digest "));

    // Digest, as a client computes it from the challenge.
    const QByteArray uri = "/mail/demo@zorvane.test/inbox/";
    QCOMPARE(
        send("PROPFIND", uri, {}, {}, digestAuthorization(challenges.at(0), "PROPFIND", uri, "demo", "demo")).status,
        207);
    // The nonce is good for other addresses and verbs too.
    QCOMPARE(send("GET", "/mail/demo@zorvane.test/collect", {}, {},
                  digestAuthorization(challenges.at(0), "GET", "/mail/demo@zorvane.test/collect", "demo", "demo", 2))
                 .status,
             200);
    QCOMPARE(
        send("PROPFIND", uri, {}, {}, digestAuthorization(challenges.at(0), "PROPFIND", uri, "demo", "nope")).status,
        401);
    // The answer must be for the address actually asked.
    QCOMPARE(send("PROPFIND", uri, {}, {}, digestAuthorization(challenges.at(0), "PROPFIND", "/dav/", "demo", "demo"))
                 .status,
             401);
    // A nonce the service never issued is not accepted, whatever the password.
    QByteArray forged = challenges.at(0);
    forged.replace("nonce=\"", "nonce=\"1");
    QCOMPARE(send("PROPFIND", uri, {}, {}, digestAuthorization(forged, "PROPFIND", uri, "demo", "demo")).status, 401);
    QCOMPARE(send("PROPFIND", uri, {}, {}, digestAuthorization(forged, "PROPFIND", uri, "demo", "x")).status, 401);
}

void tst_ServiceRequests::digestNonceExpiresAndSurvivesARestart()
{
    const QByteArray challenge = send("PROPFIND", "/dav/", {}, {}, {}).header("WWW-Authenticate");
    m_now += 3601;
    const HttpResponse stale =
        send("PROPFIND", "/dav/", {}, {}, digestAuthorization(challenge, "PROPFIND", "/dav/", "demo", "demo"));
    QCOMPARE(stale.status, 401);
    QVERIFY(stale.header("WWW-Authenticate").contains("stale=true"));
    // An old nonce with a wrong password is no stale nonce: a plain refusal.
    const HttpResponse wrong =
        send("PROPFIND", "/dav/", {}, {}, digestAuthorization(challenge, "PROPFIND", "/dav/", "demo", "bad"));
    QCOMPARE(wrong.status, 401);
    QVERIFY(!wrong.header("WWW-Authenticate").contains("stale"));
    // A nonce of an earlier run of the service (another secret) with the
    // right password: stale too, so a client's kept credentials carry on
    // after a restart.
    MailService::Settings settings;
    settings.dataDir = m_dir->path();
    settings.clock = [this] { return m_now; };
    MailService earlierRun(settings);
    HttpRequest probe;
    probe.method = "PROPFIND";
    probe.rawTarget = "/dav/";
    const QByteArray earlierChallenge = earlierRun.serve(probe).header("WWW-Authenticate");
    const HttpResponse afterRestart =
        send("PROPFIND", "/dav/", {}, {}, digestAuthorization(earlierChallenge, "PROPFIND", "/dav/", "demo", "demo"));
    QCOMPARE(afterRestart.status, 401);
    QVERIFY(afterRestart.header("WWW-Authenticate").contains("stale=true"));
    const HttpResponse guessed =
        send("PROPFIND", "/dav/", {}, {}, digestAuthorization(earlierChallenge, "PROPFIND", "/dav/", "demo", "guess"));
    QVERIFY(!guessed.header("WWW-Authenticate").contains("stale"));

    const QByteArray fresh = stale.header("WWW-Authenticate");
    QCOMPARE(send("PROPFIND", "/dav/", {}, {}, digestAuthorization(fresh, "PROPFIND", "/dav/", "demo", "demo")).status,
             207);
}

void tst_ServiceRequests::loginRedirectsAndAlternativeAccounts()
{
    const HttpResponse redirected = send("PROPFIND", "/dav/", {}, {}, basicAuthorization("carol", "carolpw"));
    QCOMPARE(redirected.status, 900);
    QCOMPARE(redirected.header("Location"), Base + "/mail/carol@zorvane.test/");
    const HttpResponse there =
        send("PROPFIND", "/mail/carol@zorvane.test/", {}, {}, basicAuthorization("carol", "carolpw"));
    QCOMPARE(there.status, 207);
    QCOMPARE(applyStored(1007, there.body), Base + "/mail/carol@zorvane.test/inbox/");

    const HttpResponse root = send("PROPFIND", "/", {}, {}, {});
    QCOMPARE(root.status, 900);
    QCOMPARE(root.header("Location"), Base + "/dav/");

    const QByteArray bob = basicAuthorization("bob@alt.zorvane.test", "bobpw");
    const HttpResponse alternative = send("PROPFIND", "/alt/bob@alt.zorvane.test", {}, {}, bob);
    QCOMPARE(alternative.status, 207);
    QCOMPARE(applyStored(1009, alternative.body), Base + "/mail/bob@alt.zorvane.test/sendmsg");
    QCOMPARE(send("PROPFIND", "/alt/BOB@ALT.zorvane.test", {}, {}, bob).status, 207);
    // The name in the address must be the one of the credentials, and an alternative one.
    QCOMPARE(send("PROPFIND", "/alt/bob@alt.zorvane.test", {}, {}, basicAuthorization("demo", "demo")).status, 401);
    QCOMPARE(send("PROPFIND", "/alt/demo@zorvane.test", {}, {}, basicAuthorization("demo", "demo")).status, 401);

    const HttpResponse probe = send("PROPFIND", "/dav/?cmd=logoff", {}, {}, {});
    QCOMPARE(probe.status, 207);
    QVERIFY(probe.header("X-Zorvane-Probe").isEmpty());
    const HttpResponse alternativeProbe = send("PROPFIND", "/alt?cmd=logoff", {}, {}, {});
    QCOMPARE(alternativeProbe.status, 900);
    QCOMPARE(alternativeProbe.header("X-Zorvane-Probe"), QByteArray("alive"));
    QCOMPARE(send("GET", "/dav/", {}, {}, basicAuthorization("demo", "demo")).status, 405);
}

void tst_ServiceRequests::listingFollowsTheMaildir()
{
    const HttpResponse empty = send("PROPFIND", "/mail/demo@zorvane.test/inbox/", storedText(1005), {{"depth", "1"}});
    QCOMPARE(empty.status, 207);
    QCOMPARE(applyStored(1015, empty.body), QByteArray());

    const QByteArray lf = "Subject: lf\n\nline one\nline two\n"; // 4 bare LF
    const QByteArray crlf = "Subject: crlf\r\n\r\nbody\r\n";     // none
    const QByteArray mixed = "Subject: mixed\r\n\nx\ry\n";       // 2 bare LF, a lone CR stays
    dropMessage("new", "300.lf", lf, 300);
    dropMessage("cur", "100.crlf:2,S", crlf, 100);
    dropMessage("cur", "200.mixed:2,", mixed, 200);
    dropMessage("new", ".hidden", "Subject: no\n\n", 50);
    dropMessage("tmp", "50.half", "Subject: half-written\n", 50);

    const HttpResponse listing = send("PROPFIND", "/mail/demo@zorvane.test/inbox/", storedText(1005), {{"depth", "1"}});
    QCOMPARE(listing.status, 207);
    QCOMPARE(splitLed(applyStored(1015, listing.body), '*'),
             (QList<QByteArray>{DemoInbox + "100.crlf", DemoInbox + "200.mixed", DemoInbox + "300.lf"}));
    QCOMPARE(splitLed(applyStored(1017, listing.body), '+'),
             (QList<QByteArray>{QByteArray::number(crlf.size()), QByteArray::number(mixed.size() + 2),
                                QByteArray::number(lf.size() + 4)}));
    QCOMPARE(splitLed(applyStored(1014, listing.body), '*'),
             (QList<QByteArray>{DemoInbox + "200.mixed", DemoInbox + "300.lf"}));
    // Each message carries its file's modification time as an HTTP date.
    QVERIFY(listing.body.contains(">Thu, 01 Jan 1970 00:01:40 GMT<"));
    QVERIFY(listing.body.contains(">Thu, 01 Jan 1970 00:05:00 GMT<"));

    QCOMPARE(send("GET", "/mail/demo@zorvane.test/inbox/300.lf").body,
             QByteArray("Subject: lf\r\n\r\nline one\r\nline two\r\n"));
    QCOMPARE(send("GET", "/mail/demo@zorvane.test/inbox/200.mixed").body, QByteArray("Subject: mixed\r\n\r\nx\ry\r\n"));
    QCOMPARE(send("GET", "/mail/demo@zorvane.test/inbox/100.crlf").body, crlf);
    QCOMPARE(send("GET", "/mail/demo@zorvane.test/inbox/50.half").status, 404);

    // Another program delivers while the service runs; the next query has it.
    dropMessage("new", "400.later", "Subject: later\n\nhi\n", 951825599);
    const HttpResponse again = send("PROPFIND", "/mail/demo@zorvane.test/inbox/", storedText(1005), {{"depth", "1"}});
    QCOMPARE(splitLed(applyStored(1015, again.body), '*').size(), 4);
    QCOMPARE(splitLed(applyStored(1015, again.body), '*').last(), DemoInbox + "400.later");
    QVERIFY(again.body.contains(">Tue, 29 Feb 2000 11:59:59 GMT<"));
    QCOMPARE(send("GET", "/mail/demo@zorvane.test/inbox/400.later").body, QByteArray("Subject: later\r\n\r\nhi\r\n"));
}

// A message that one read of its file takes goes out whole, a larger one in
// pieces; either way in its wire form, as listed, and as the file is now.
void tst_ServiceRequests::messagesOfAnySizeGoOutInTheirWireForm()
{
    const auto stored = [](qsizetype size) {
        QByteArray bytes = "Subject: sized\n\n";
        while (bytes.size() < size)
            bytes += QByteArray(qMin<qsizetype>(70, size - bytes.size() - 1), 'x') + '\n';
        return bytes.left(size);
    };
    const auto wire = [](QByteArray bytes) { return bytes.replace("\n", "\r\n"); };
    const auto fetch = [&](const char *name) {
        return send("GET", "/mail/demo@zorvane.test/inbox/" + QByteArray(name)).body;
    };
    const qsizetype piece = 64 * 1024;
    const QByteArray atLimit = stored(piece);
    const QByteArray aboveLimit = stored(piece + 1);
    // A CR at the end of the first piece and its LF at the start of the next.
    const QByteArray head = "Subject: split\r\n\r\n";
    const QByteArray split = head + QByteArray(piece - 1 - head.size(), 'y') + "\r\nend\r\n";
    dropMessage("cur", "1.limit:2,", atLimit, 100);
    dropMessage("cur", "2.above:2,", aboveLimit, 100);
    dropMessage("cur", "3.split:2,", split, 100);
    QCOMPARE(fetch("1.limit"), wire(atLimit));
    QCOMPARE(fetch("2.above"), wire(aboveLimit));
    QCOMPARE(fetch("3.split"), split);
    const HttpResponse listing = send("PROPFIND", "/mail/demo@zorvane.test/inbox/", storedText(1005), {{"depth", "1"}});
    QCOMPARE(splitLed(applyStored(1017, listing.body), '+'),
             (QList<QByteArray>{QByteArray::number(wire(atLimit).size()), QByteArray::number(wire(aboveLimit).size()),
                                QByteArray::number(split.size())}));

    // Rewritten in place by another program, at the same time of day: each
    // answer is the file as it is now, whichever way it goes out.
    const QByteArray shorter = "Subject: shorter\n\nnow\n";
    dropMessage("cur", "1.limit:2,", shorter, 100);
    QCOMPARE(fetch("1.limit"), wire(shorter));
    const QByteArray grown = stored(piece + 500);
    dropMessage("cur", "1.limit:2,", grown, 100);
    QCOMPARE(fetch("1.limit"), wire(grown));
    dropMessage("cur", "2.above:2,", shorter, 100);
    QCOMPARE(fetch("2.above"), wire(shorter));
    QVERIFY(QFile::remove(inboxPath("cur/2.above:2,")));
    QCOMPARE(send("GET", "/mail/demo@zorvane.test/inbox/2.above").status, 404);
}

void tst_ServiceRequests::stylesheetsOnTheAnswers()
{
    dropMessage("new", "1.a", "Subject: a\n\n", 1);
    dropMessage("cur", "2.b:2,S", "Subject: b\r\n\r\n", 2);
    dropMessage("new", "3.c", "Subject: c\n\n", 3);
    const HttpResponse login = send("PROPFIND", "/dav/", {}, {{"depth", "1"}});
    QCOMPARE(login.status, 207);
    const QByteArray inbox = applyStored(1007, login.body);
    QCOMPARE(inbox, DemoInbox);
    QCOMPARE(applyStored(1008, login.body), DemoHome + "deleteditems/");
    QCOMPARE(applyStored(1009, login.body), DemoHome + "sendmsg");
    QCOMPARE(applyStored(1045, login.body), DemoHome + "collect");

    // The agent asks the collection that holds the inbox, then picks the
    // inbox out of it by its address.
    const QByteArray collection = inbox.left(inbox.lastIndexOf('/', inbox.size() - 2) + 1);
    QCOMPARE(collection, DemoHome);
    const HttpResponse folders = send("PROPFIND", "/mail/demo@zorvane.test/", storedText(1005), {{"depth", "1"}});
    QCOMPARE(folders.status, 207);
    bool ok = false;
    QCOMPARE(applyStylesheet(folders.body, storedText(1011) + inbox + storedText(1012), &ok), QByteArray("2"));
    QVERIFY(ok);
    QCOMPARE(applyStylesheet(folders.body, storedText(1011) + inbox + storedText(1013), &ok), QByteArray("3"));
    QCOMPARE(applyStylesheet(folders.body, storedText(1011) + DemoHome + "deleteditems/" + storedText(1013), &ok),
             QByteArray("0"));
    QCOMPARE(applyStylesheet(folders.body, storedText(1011) + DemoHome + "nosuch/" + storedText(1013), &ok),
             QByteArray());

    // Collection, sizes and lists through a Host other than the default.
    const HttpResponse other = send("PROPFIND", "/mail/demo@zorvane.test/inbox/", storedText(1005),
                                    {{"depth", "1"}, {"host", "localhost:9000"}});
    QVERIFY(applyStored(1015, other.body).startsWith("*http://localhost:9000/mail/demo@zorvane.test/inbox/"));
    // A Host that could break out of an address is not used.
    const HttpResponse hostile = send("PROPFIND", "/dav/", {}, {{"host", "x']/..|<a>"}});
    QCOMPARE(applyStored(1007, hostile.body), DemoInbox);
}

void tst_ServiceRequests::headerPropertiesKeepTheBytes()
{
    const QByteArray header = "From: Ann <ann@example.org>\n"
                              "Subject: caf\xe9 and caf\xc3\xa9 & <more>\n"
                              "Received: from a\n"
                              "\tby b\n"
                              "X-Odd: tab\there, bell\x07 cr\rin\n";
    dropMessage("new", "9.h", header + "\nbody line\nSubject: not a header\n", 9);
    const HttpResponse properties = send("PROPFIND", "/mail/demo@zorvane.test/inbox/9.h", storedText(1005));
    QCOMPARE(properties.status, 207);
    QByteArray stylesheet;
    for (int entry = 1018; entry <= 1022; ++entry)
        stylesheet += storedText(entry);
    bool ok = false;
    const QByteArray lines = applyStylesheet(properties.body, stylesheet, &ok);
    QVERIFY(ok);
    QCOMPARE(lines,
             QByteArray("From: Ann <ann@example.org>\r\n"
                        "Subject: caf\xe9 and caf\xc3\xa9 & <more>\r\n"
                        "Received: from a\r\n"
                        "\tby b\r\n"
                        "X-Odd: tab\there, bell  cr\rin\r\n"));
    QVERIFY(properties.body.contains("<m:subject>"));
    QVERIFY(properties.body.contains("<m:from>Ann &lt;ann@example.org&gt;</m:from>"));
}

void tst_ServiceRequests::markReadKeepsTheName()
{
    dropMessage("new", "5.unread", "Subject: x\n\n", 5);
    const QByteArray address = "/mail/demo@zorvane.test/inbox/5.unread";
    const HttpResponse marked = send("PROPPATCH", address, storedText(1006), {{"depth", "1"}});
    QCOMPARE(marked.status, 207);
    QVERIFY(marked.body.contains("HTTP/1.1 200 OK"));
    QCOMPARE(filesIn(inboxPath("new")), QStringList());
    QCOMPARE(filesIn(inboxPath("cur")), QStringList{QStringLiteral("5.unread:2,S")});
    const HttpResponse listing = send("PROPFIND", "/mail/demo@zorvane.test/inbox/", storedText(1005));
    QCOMPARE(applyStored(1015, listing.body), "*" + DemoInbox + "5.unread");
    QCOMPARE(applyStored(1014, listing.body), QByteArray());
    // Marking again changes nothing.
    QCOMPARE(send("PROPPATCH", address, storedText(1006)).status, 207);
    QCOMPARE(filesIn(inboxPath("cur")), QStringList{QStringLiteral("5.unread:2,S")});

    // Flags of other programs are kept in order.
    dropMessage("cur", "6.flagged:2,F", "Subject: y\n\n", 6);
    QCOMPARE(send("PROPPATCH", "/mail/demo@zorvane.test/inbox/6.flagged", storedText(1006)).status, 207);
    QVERIFY(filesIn(inboxPath("cur")).contains(QStringLiteral("6.flagged:2,FS")));

    const QByteArray unread = "<?xml version=\"1.0\"?><D:propertyupdate xmlns:D=\"DAV:\" xmlns:m=\"urn:zorvane:mail\">"
                              "<D:set><D:prop><m:read>0</m:read></D:prop></D:set></D:propertyupdate>";
    QCOMPARE(send("PROPPATCH", address, unread).status, 207);
    QCOMPARE(applyStored(1014, send("PROPFIND", "/mail/demo@zorvane.test/inbox/", storedText(1005)).body),
             "*" + DemoInbox + "5.unread");

    // A property that cannot be set fails the whole update.
    const QByteArray mixed = "<?xml version=\"1.0\"?><D:propertyupdate xmlns:D=\"DAV:\" xmlns:m=\"urn:zorvane:mail\">"
                             "<D:set><D:prop><m:read>1</m:read><D:displayname>x</D:displayname></D:prop></D:set>"
                             "</D:propertyupdate>";
    const HttpResponse refused = send("PROPPATCH", address, mixed);
    QCOMPARE(refused.status, 207);
    QVERIFY(refused.body.contains("HTTP/1.1 403 Forbidden"));
    QVERIFY(refused.body.contains("HTTP/1.1 424 Failed Dependency"));
    QCOMPARE(filesIn(inboxPath("cur")).filter(QStringLiteral("5.unread")), QStringList{QStringLiteral("5.unread:2,")});

    QCOMPARE(send("PROPPATCH", "/mail/demo@zorvane.test/inbox/nosuch", storedText(1006)).status, 404);
    QCOMPARE(send("PROPPATCH", address, "<not-xml").status, 400);
}

void tst_ServiceRequests::moveToDeletedItems()
{
    dropMessage("new", "7.first", "Subject: first\n\n", 7);
    dropMessage("cur", "8.second:2,S", "Subject: second\n\n", 8);
    const QByteArray deleted = DemoHome + "deleteditems/";
    const HttpResponse moved = send("MOVE", "/mail/demo@zorvane.test/inbox/7.first", {},
                                    {{"destination", deleted + "7.first"}, {"x-zorvane-rename", "t"}});
    QCOMPARE(moved.status, 201);
    QCOMPARE(moved.header("Location"), deleted + "7.first");
    QCOMPARE(filesIn(inboxPath("new")), QStringList());
    QCOMPARE(filesIn(inboxPath(".Deleted Items/new")), QStringList{QStringLiteral("7.first")});
    QVERIFY(QFile::exists(inboxPath(".Deleted Items/maildirfolder")));
    QCOMPARE(send("GET", "/mail/demo@zorvane.test/deleteditems/7.first").body, QByteArray("Subject: first\r\n\r\n"));

    // The same name arrives again: never overwritten.
    dropMessage("new", "7.first", "Subject: first again\n\n", 9);
    const HttpResponse refused =
        send("MOVE", "/mail/demo@zorvane.test/inbox/7.first", {}, {{"destination", deleted + "7.first"}});
    QCOMPARE(refused.status, 412);
    QCOMPARE(filesIn(inboxPath("new")), QStringList{QStringLiteral("7.first")});
    const HttpResponse renamed = send("MOVE", "/mail/demo@zorvane.test/inbox/7.first", {},
                                      {{"destination", "/mail/demo@zorvane.test/deleteditems/7.first"},
                                       {"x-zorvane-rename", "t"},
                                       {"overwrite", "T"}});
    QCOMPARE(renamed.status, 201);
    QVERIFY(renamed.header("Location").startsWith(deleted));
    QVERIFY(renamed.header("Location") != deleted + "7.first");
    QCOMPARE(send("GET", "/mail/demo@zorvane.test/deleteditems/7.first").body, QByteArray("Subject: first\r\n\r\n"));
    QCOMPARE(send("GET", renamed.header("Location").mid(Base.size())).body, QByteArray("Subject: first again\r\n\r\n"));
    QCOMPARE(filesIn(inboxPath(".Deleted Items/new")).size(), 2);

    // Read messages keep their flags.
    QCOMPARE(send("MOVE", "/mail/demo@zorvane.test/inbox/8.second", {}, {{"destination", deleted + "8.second"}}).status,
             201);
    QCOMPARE(filesIn(inboxPath(".Deleted Items/cur")), QStringList{QStringLiteral("8.second:2,S")});

    dropMessage("new", "10.third", "Subject: third\n\n", 10);
    const QByteArray third = "/mail/demo@zorvane.test/inbox/10.third";
    QCOMPARE(send("MOVE", third).status, 400);
    QCOMPARE(send("MOVE", third, {}, {{"destination", Base + "/mail/ann@zorvane.test/deleteditems/10.third"}}).status,
             403);
    QCOMPARE(send("MOVE", third, {}, {{"destination", DemoHome + "drafts/10.third"}}).status, 409);
    QCOMPARE(send("MOVE", third, {}, {{"destination", DemoInbox + "10.third"}}).status, 403);
    QCOMPARE(send("MOVE", third, {}, {{"destination", deleted + "..%2F..%2Faccounts"}}).status, 400);
    QCOMPARE(send("MOVE", third, {}, {{"destination", deleted + "x%3A2%2CS"}}).status, 400);
    QCOMPARE(filesIn(inboxPath("new")), QStringList{QStringLiteral("10.third")});
    QCOMPARE(send("MOVE", "/mail/demo@zorvane.test/inbox/nosuch", {}, {{"destination", deleted + "nosuch"}}).status,
             404);
}

void tst_ServiceRequests::longNamesStayShortAndReachable()
{
    const QByteArray unique = QByteArray(90, 'a') + ",S=12";
    dropMessage("cur", unique + ":2,S", "Subject: long\n\n", 11);
    dropMessage("new", "odd name+'*", "Subject: odd\n\n", 12);
    const HttpResponse listing = send("PROPFIND", "/mail/demo@zorvane.test/inbox/", storedText(1005));
    const QList<QByteArray> addresses = splitLed(applyStored(1015, listing.body), '*');
    QCOMPARE(addresses.size(), 2);
    const QByteArray longName = addresses.at(0).mid(DemoInbox.size());
    QVERIFY(longName.size() <= 64);
    QCOMPARE(addresses.at(1), DemoInbox + "odd%20name%2B%27%2A");
    QCOMPARE(send("GET", addresses.at(0).mid(Base.size())).body, QByteArray("Subject: long\r\n\r\n"));
    QCOMPARE(send("GET", addresses.at(1).mid(Base.size())).body, QByteArray("Subject: odd\r\n\r\n"));
    // Moved under its listed name, the file keeps its own name.
    QCOMPARE(
        send("MOVE", addresses.at(0).mid(Base.size()), {}, {{"destination", DemoHome + "deleteditems/" + longName}})
            .status,
        201);
    QCOMPARE(filesIn(inboxPath(".Deleted Items/cur")), QStringList{QString::fromLatin1(unique + ":2,S")});
}

void tst_ServiceRequests::submissionIsStoredWholeOrNotAtAll()
{
    // Bare LF line ends and dot lines: stored exactly as given.
    const QByteArray message = "From: demo@zorvane.test\nTo: ann@zorvane.test\nSubject: hi\n\n.\n..x\nbye\n";
    const QByteArray body = "MAIL FROM:<demo@zorvane.test>\r\n"
                            "RCPT TO:<Ann@Zorvane.test>\r\n"
                            "RCPT TO:<friend@example.org> NOTIFY=NEVER\r\n"
                            "rcpt to:<demo>\r\n"
                            "RCPT TO:<ann@zorvane.test>\r\n"
                            "RCPT TO:<other@example.net>\r\n"
                            "\r\n"
        + message;
    const QHash<QByteArray, QByteArray> headers{
        {"x-zorvane-envelope", "t"}, {"x-zorvane-save-in-sent", "t"}, {"depth", "0"}};
    const HttpResponse stored = send("POST", "/mail/demo@zorvane.test/sendmsg", body, headers);
    QCOMPARE(stored.status, 201);
    QCOMPARE(stored.body, QByteArray("stored: 2 local, 1 outbox, sent copy\r\n"));

    const QString ann = m_dir->path() + QStringLiteral("/mail/ann@zorvane.test/");
    QCOMPARE(filesIn(ann + QStringLiteral("new")).size(), 1);
    QCOMPARE(readFile(ann + QStringLiteral("new/") + filesIn(ann + QStringLiteral("new")).first()), message);
    QCOMPARE(filesIn(inboxPath("new")).size(), 1);
    QCOMPARE(readFile(inboxPath("new/") + filesIn(inboxPath("new")).first()), message);
    const QStringList sent = filesIn(inboxPath(".Sent Items/cur"));
    QCOMPARE(sent.size(), 1);
    QVERIFY(sent.first().endsWith(QLatin1String(":2,S")));
    QCOMPARE(readFile(inboxPath(".Sent Items/cur/") + sent.first()), message);
    const QString outbox = m_dir->path() + QStringLiteral("/outbox/new/");
    QCOMPARE(filesIn(outbox).size(), 1);
    QCOMPARE(readFile(outbox + filesIn(outbox).first()),
             "X-Zorvane-Envelope-From: <demo@zorvane.test>\r\n"
             "X-Zorvane-Envelope-To: <friend@example.org>\r\n"
             "X-Zorvane-Envelope-To: <other@example.net>\r\n"
                 + message);
    for (const QString &tmp :
         {ann + QStringLiteral("tmp"), inboxPath("tmp"), m_dir->path() + QStringLiteral("/outbox/tmp")})
        QCOMPARE(filesIn(tmp), QStringList());

    // Without the copy flag nothing goes to the sent items.
    QCOMPARE(send("POST", "/mail/demo@zorvane.test/sendmsg",
                  "MAIL FROM:<demo@zorvane.test>\nRCPT TO:<ann@zorvane.test>\n\nSubject: 2\n\n",
                  {{"x-zorvane-envelope", "t"}, {"x-zorvane-save-in-sent", "f"}})
                 .status,
             201);
    QCOMPARE(filesIn(inboxPath(".Sent Items/cur")).size(), 1);
    QCOMPARE(filesIn(ann + QStringLiteral("new")).size(), 2);

    // One unknown local recipient: nobody gets anything.
    const HttpResponse refused =
        send("POST", "/mail/demo@zorvane.test/sendmsg",
             "MAIL FROM:<demo@zorvane.test>\r\nRCPT TO:<ann@zorvane.test>\r\n"
             "RCPT TO:<x@example.org>\r\nRCPT TO:<nobody@alt.zorvane.test>\r\n\r\nSubject: 3\r\n\r\n",
             headers);
    QCOMPARE(refused.status, 422);
    QVERIFY(refused.header("X-Zorvane-Reason").contains("nobody@alt.zorvane.test"));
    QCOMPARE(filesIn(ann + QStringLiteral("new")).size(), 2);
    QCOMPARE(filesIn(outbox).size(), 1);
    QCOMPARE(filesIn(inboxPath(".Sent Items/cur")).size(), 1);
}

void tst_ServiceRequests::submissionRefusals_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("envelopeFlag");
    QTest::addColumn<int>("status");
    const QByteArray ok = "MAIL FROM:<demo@zorvane.test>\r\nRCPT TO:<ann@zorvane.test>\r\n\r\nSubject: s\r\n\r\n";
    QTest::newRow("no envelope flag") << ok << QByteArray() << 400;
    QTest::newRow("envelope flag f") << ok << QByteArray("f") << 400;
    QTest::newRow("another sender") << QByteArray("MAIL FROM:<ann@zorvane.test>\r\nRCPT TO:<ann@zorvane.test>\r\n\r\nx")
                                    << QByteArray("t") << 403;
    QTest::newRow("no empty line") << QByteArray("MAIL FROM:<demo@zorvane.test>\r\nRCPT TO:<ann@zorvane.test>\r\n")
                                   << QByteArray("t") << 400;
    QTest::newRow("no recipient") << QByteArray("MAIL FROM:<demo@zorvane.test>\r\n\r\nx") << QByteArray("t") << 400;
    QTest::newRow("no sender") << QByteArray("RCPT TO:<ann@zorvane.test>\r\n\r\nx") << QByteArray("t") << 400;
    QTest::newRow("two senders") << QByteArray(
        "MAIL FROM:<demo@zorvane.test>\r\nMAIL FROM:<demo@zorvane.test>\r\nRCPT TO:<a@b.c>\r\n\r\nx")
                                 << QByteArray("t") << 400;
    QTest::newRow("message without envelope") << QByteArray("Subject: x\r\n\r\nbody\r\n") << QByteArray("t") << 400;
    QTest::newRow("header injection") << QByteArray(
        "MAIL FROM:<demo@zorvane.test>\r\nRCPT TO:<a@b.c\rX-Evil: 1>\r\n\r\nx")
                                      << QByteArray("t") << 400;
    QByteArray many = "MAIL FROM:<demo@zorvane.test>\r\n";
    for (int i = 0; i <= SubmissionEnvelope::MaxRecipients; ++i)
        many += "RCPT TO:<r" + QByteArray::number(i) + "@example.org>\r\n";
    QTest::newRow("one recipient too many") << many + "\r\nx" << QByteArray("t") << 400;
    QByteArray longAddresses = "MAIL FROM:<demo@zorvane.test>\r\n";
    for (int i = 0; longAddresses.size() <= SubmissionEnvelope::MaxEnvelopeBytes; ++i)
        longAddresses += "RCPT TO:<" + QByteArray::number(i) + QByteArray(2000, 'r') + "@example.org>\r\n";
    QTest::newRow("envelope too long") << longAddresses + "\r\nx" << QByteArray("t") << 400;
}

void tst_ServiceRequests::submissionRefusals()
{
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, envelopeFlag);
    QFETCH(int, status);
    QHash<QByteArray, QByteArray> headers;
    if (!envelopeFlag.isEmpty())
        headers.insert("x-zorvane-envelope", envelopeFlag);
    const HttpResponse response = send("POST", "/mail/demo@zorvane.test/sendmsg", body, headers);
    QCOMPARE(response.status, status);
    const QByteArray reason = response.header("X-Zorvane-Reason");
    QVERIFY(!reason.isEmpty());
    QVERIFY(!reason.contains('\r') && !reason.contains('\n'));
    QVERIFY(!QDir(m_dir->path() + QStringLiteral("/mail/ann@zorvane.test")).exists());
    QVERIFY(!QDir(m_dir->path() + QStringLiteral("/outbox")).exists());
}

void tst_ServiceRequests::nullSenderIsTheAccountsOwn()
{
    const QByteArray body = "MAIL FROM:<>\r\nRCPT TO:<ann@zorvane.test>\r\n\r\nSubject: notice\r\n\r\nx\r\n";
    const HttpResponse response = send("POST", "/mail/demo@zorvane.test/sendmsg", body, {{"x-zorvane-envelope", "t"}});
    QVERIFY2(response.status == 200 || response.status == 201, response.header("X-Zorvane-Reason").constData());
    const QStringList delivered =
        QDir(m_dir->path() + QStringLiteral("/mail/ann@zorvane.test/new")).entryList(QDir::Files);
    QCOMPARE(delivered.size(), 1);
}

// An attempt repeated under the same identifier (its answer was lost) is
// answered as the first one was and stored no more: per account, across a
// restart, for as long as the identifier is kept.
void tst_ServiceRequests::submissionWithAnIdIsStoredOnce()
{
    const QByteArray body = "MAIL FROM:<demo@zorvane.test>\r\nRCPT TO:<ann@zorvane.test>\r\n\r\nSubject: once\r\n\r\n";
    const QByteArray id = "5f0c9a1e27b84d6e93a0c4b1d2e8f703";
    QHash<QByteArray, QByteArray> headers{
        {"x-zorvane-envelope", "t"}, {"x-zorvane-save-in-sent", "t"}, {"x-zorvane-submission-id", id}};
    const QString annInbox = m_dir->path() + QStringLiteral("/mail/ann@zorvane.test/new");
    const auto post = [&](const QByteArray &text, const QHash<QByteArray, QByteArray> &with,
                          const QByteArray &authorization = "default") {
        return send("POST", "/mail/demo@zorvane.test/sendmsg", text, with, authorization);
    };

    const HttpResponse first = post(body, headers);
    QCOMPARE(first.status, 201);
    QCOMPARE(filesIn(annInbox).size(), 1);
    // The ledger's line: time, identifier, SHA-256 of the body, status, answer.
    QCOMPARE(readFile(m_dir->path() + QStringLiteral("/submissions/demo@zorvane.test")),
             QByteArray::number(m_now) + ' ' + id + ' '
                 + QCryptographicHash::hash(body, QCryptographicHash::Sha256).toHex() + " 201 " + first.body.trimmed()
                 + '\n');
    const HttpResponse repeated = post(body, headers);
    QCOMPARE(repeated.status, 201);
    QCOMPARE(repeated.body, first.body);
    QVERIFY(repeated.header("X-Zorvane-Submission").startsWith("repeated"));
    QCOMPARE(filesIn(annInbox).size(), 1);
    QCOMPARE(filesIn(inboxPath(".Sent Items/cur")).size(), 1);

    // The same identifier with another message is no repeat.
    QCOMPARE(post(body + "changed\r\n", headers).status, 409);
    QCOMPARE(filesIn(annInbox).size(), 1);
    // An identifier that could not go into the ledger is refused.
    for (const QByteArray &bad : {QByteArray("../../x"), QByteArray("a b"), QByteArray(65, 'a')}) {
        QHash<QByteArray, QByteArray> badHeaders = headers;
        badHeaders.insert("x-zorvane-submission-id", bad);
        QCOMPARE(post(body, badHeaders).status, 400);
    }
    QCOMPARE(filesIn(annInbox).size(), 1);

    // Another account's identifiers are its own.
    const QByteArray fromAnn =
        "MAIL FROM:<ann@zorvane.test>\r\nRCPT TO:<demo@zorvane.test>\r\n\r\nSubject: ann\r\n\r\n";
    QCOMPARE(
        send("POST", "/mail/ann@zorvane.test/sendmsg", fromAnn, headers, basicAuthorization("ann", "annpw")).status,
        201);
    QCOMPARE(filesIn(inboxPath("new")).size(), 1);

    // A restart keeps what was stored.
    startService();
    QCOMPARE(post(body, headers).body, first.body);
    QCOMPARE(filesIn(annInbox).size(), 1);

    // Kept for at least a day; long after, the identifier is free again.
    m_now += 24 * 60 * 60;
    QCOMPARE(post(body, headers).body, first.body);
    QCOMPARE(filesIn(annInbox).size(), 1);
    m_now += SubmissionLedger::KeepSeconds;
    QCOMPARE(post(body, headers).status, 201);
    QCOMPARE(filesIn(annInbox).size(), 2);

    // Without an identifier every submission is stored.
    headers.remove("x-zorvane-submission-id");
    QCOMPARE(post(body, headers).status, 201);
    QCOMPARE(post(body, headers).status, 201);
    QCOMPARE(filesIn(annInbox).size(), 4);
}

// The service makes a folder when a write into it fails rather than before
// every submission: one removed while it runs (all of a Maildir, only its
// new/ or cur/, the ledger's folder) is made again, and nothing is lost or
// stored twice on the way.
void tst_ServiceRequests::foldersRemovedWhileRunningAreMadeAgain()
{
    const QHash<QByteArray, QByteArray> headers{{"x-zorvane-envelope", "t"}, {"x-zorvane-save-in-sent", "t"}};
    const QString annHome = m_dir->path() + QStringLiteral("/mail/ann@zorvane.test");
    const QString outbox = m_dir->path() + QStringLiteral("/outbox");
    const auto submit = [&](const QByteArray &id, const QByteArray &subject) {
        QHash<QByteArray, QByteArray> with = headers;
        with.insert("x-zorvane-submission-id", id);
        return send("POST", "/mail/demo@zorvane.test/sendmsg",
                    "MAIL FROM:<demo@zorvane.test>\r\nRCPT TO:<ann@zorvane.test>\r\nRCPT TO:<x@example.org>\r\n\r\n"
                    "Subject: "
                        + subject + "\r\n\r\n",
                    with);
    };
    QCOMPARE(submit("first", "1").status, 201);

    QVERIFY(QDir(annHome).removeRecursively());
    QVERIFY(QDir(inboxPath(".Sent Items/cur")).removeRecursively());
    QVERIFY(QDir(outbox + QStringLiteral("/new")).removeRecursively());
    QVERIFY(QDir(m_dir->path() + QStringLiteral("/submissions")).removeRecursively());
    const HttpResponse second = submit("second", "2");
    QCOMPARE(second.status, 201);
    QCOMPARE(second.header("X-Zorvane-Reason"), QByteArray());
    QCOMPARE(filesIn(annHome + QStringLiteral("/new")).size(), 1);
    QCOMPARE(readFile(annHome + QStringLiteral("/new/") + filesIn(annHome + QStringLiteral("/new")).first()),
             QByteArray("Subject: 2\r\n\r\n"));
    QVERIFY(QDir(annHome + QStringLiteral("/cur")).exists());
    QCOMPARE(filesIn(inboxPath(".Sent Items/cur")).size(), 1);
    QCOMPARE(filesIn(outbox + QStringLiteral("/new")).size(), 1);
    for (const QString &tmp :
         {annHome + QStringLiteral("/tmp"), inboxPath(".Sent Items/tmp"), outbox + QStringLiteral("/tmp")})
        QCOMPARE(filesIn(tmp), QStringList());

    // The ledger went with its folder and was written again: a repeat of the
    // second submission is known, also after a restart.
    startService();
    QVERIFY(submit("second", "2").header("X-Zorvane-Submission").startsWith("repeated"));
    QCOMPARE(filesIn(annHome + QStringLiteral("/new")).size(), 1);

    // A ledger that another program replaced by a link is not written
    // through it: the message is stored and the answer says its id was not kept.
    const QString ledger = m_dir->path() + QStringLiteral("/submissions/demo@zorvane.test");
    const QString elsewhere = m_dir->path() + QStringLiteral("/elsewhere");
    QVERIFY(QFile::rename(ledger, elsewhere));
    QVERIFY(QFile::link(elsewhere, ledger));
    const QByteArray before = readFile(elsewhere);
    startService();
    const HttpResponse third = submit("third", "3");
    QCOMPARE(third.status, 201);
    QVERIFY(third.header("X-Zorvane-Reason").startsWith("stored, but its submission id could not be kept"));
    QCOMPARE(readFile(elsewhere), before);
    QCOMPARE(filesIn(annHome + QStringLiteral("/new")).size(), 2);
}

void tst_ServiceRequests::pathsCannotLeaveTheDataFolder_data()
{
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<int>("status");
    QTest::newRow("dot dot") << QByteArray("/mail/demo@zorvane.test/inbox/../../../accounts") << 400;
    QTest::newRow("encoded dot dot") << QByteArray("/mail/demo@zorvane.test/inbox/%2e%2e") << 400;
    QTest::newRow("encoded slash") << QByteArray("/mail/..%2F..%2Faccounts/inbox/x") << 400;
    QTest::newRow("slash in a name") << QByteArray("/mail/demo@zorvane.test/inbox/new%2F1.a") << 400;
    QTest::newRow("nul") << QByteArray("/mail/demo@zorvane.test/inbox/1.a%00") << 400;
    QTest::newRow("bad escape") << QByteArray("/mail/demo@zorvane.test/inbox/%G1") << 400;
    QTest::newRow("cut escape") << QByteArray("/mail/demo@zorvane.test/inbox/1.a%4") << 400;
    QTest::newRow("empty segment") << QByteArray("/mail//inbox/1.a") << 400;
    QTest::newRow("dot") << QByteArray("/mail/demo@zorvane.test/./inbox/1.a") << 400;
    QTest::newRow("relative") << QByteArray("mail/demo@zorvane.test/inbox/1.a") << 400;
    QTest::newRow("subfolder of a message") << QByteArray("/mail/demo@zorvane.test/inbox/new/1.a") << 404;
    QTest::newRow("hidden file") << QByteArray("/mail/demo@zorvane.test/inbox/.hidden") << 404;
    QTest::newRow("unknown account") << QByteArray("/mail/accounts/inbox/1.a") << 401;
    QTest::newRow("the message itself") << QByteArray("/mail/demo@zorvane.test/inbox/1.a") << 200;
}

void tst_ServiceRequests::pathsCannotLeaveTheDataFolder()
{
    QFETCH(QByteArray, target);
    QFETCH(int, status);
    dropMessage("new", "1.a", "Subject: a\n\n", 1);
    dropMessage("new", ".hidden", "Subject: secret\n\n", 1);
    const HttpResponse response = send("GET", target);
    QCOMPARE(response.status, status);
    QVERIFY(!response.body.contains("demo@zorvane.test demo"));
    QVERIFY(!response.body.contains("secret"));
}

void tst_ServiceRequests::xmlBodiesAreParsedSafely()
{
    const QByteArray laughs =
        "<?xml version=\"1.0\"?><!DOCTYPE d [<!ENTITY a \"aaaaaaaaaa\">"
        "<!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\"><!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\">]>"
        "<D:propfind xmlns:D=\"DAV:\"><D:prop><D:displayname>&c;</D:displayname></D:prop></D:propfind>";
    QCOMPARE(send("PROPFIND", "/mail/demo@zorvane.test/inbox/", laughs).status, 400);
    const QByteArray external = "<?xml version=\"1.0\"?><!DOCTYPE d [<!ENTITY x SYSTEM \"file:///etc/passwd\">]>"
                                "<D:propfind xmlns:D=\"DAV:\"><D:allprop/></D:propfind>";
    const HttpResponse refused = send("PROPFIND", "/mail/demo@zorvane.test/inbox/", external);
    QCOMPARE(refused.status, 400);
    QVERIFY(!refused.body.contains("root:"));
    QCOMPARE(send("PROPFIND", "/mail/demo@zorvane.test/inbox/", "<D:propfind xmlns:D=\"DAV:\">").status, 400);
    QCOMPARE(send("PROPFIND", "/mail/demo@zorvane.test/inbox/", "<propfind/>").status, 400);
    QCOMPARE(
        send("PROPFIND", "/mail/demo@zorvane.test/inbox/", QByteArray(DavRequestBody::MaxXmlBodyBytes + 1, ' ')).status,
        413);
    QCOMPARE(send("PROPFIND", "/mail/demo@zorvane.test/inbox/", {}, {{"depth", "2"}}).status, 400);

    // Named properties: the known ones, and the others reported missing.
    const QByteArray named = "<?xml version=\"1.0\"?><D:propfind xmlns:D=\"DAV:\" xmlns:m=\"urn:zorvane:mail\" "
                             "xmlns:o=\"urn:other\"><D:prop><m:unreadcount/><o:colour/></D:prop></D:propfind>";
    const HttpResponse answer = send("PROPFIND", "/mail/demo@zorvane.test/inbox/", named, {{"depth", "0"}});
    QCOMPARE(answer.status, 207);
    QVERIFY(answer.body.contains("<m:unreadcount>0</m:unreadcount>"));
    QVERIFY(answer.body.contains("xmlns:x0=\"urn:other\""));
    QVERIFY(answer.body.contains("<x0:colour/>"));
    QVERIFY(answer.body.contains("HTTP/1.1 404 Not Found"));
    QVERIFY(!answer.body.contains("m:totalcount"));
}

void tst_ServiceRequests::accountsFileIsReadAgainWhenItChanges()
{
    const QByteArray dave = basicAuthorization("dave", "davepw");
    QCOMPARE(send("PROPFIND", "/dav/", {}, {}, dave).status, 401);
    QFile accounts(m_dir->filePath(QStringLiteral("accounts")));
    QVERIFY(accounts.open(QIODevice::Append));
    accounts.write("dave@zorvane.test davepw\n");
    accounts.close();
    QCOMPARE(send("PROPFIND", "/dav/", {}, {}, dave).status, 207);
    QVERIFY(QDir(m_dir->path() + QStringLiteral("/mail/dave@zorvane.test/cur")).exists());
    QVERIFY(QFile::remove(accounts.fileName()));
    QCOMPARE(send("PROPFIND", "/dav/", {}, {}, dave).status, 401);
}

void tst_ServiceRequests::digestNonceCountsAreTracked()
{
    const QByteArray challenge = send("PROPFIND", "/dav/", {}, {}, {}).header("WWW-Authenticate");
    const auto login = [&](int nc) {
        return send("PROPFIND", "/dav/", {}, {},
                    digestAuthorization(challenge, "PROPFIND", "/dav/", "demo", "demo", nc));
    };
    QCOMPARE(login(1).status, 207);
    // The same header heard on the wire and sent again is refused; the
    // client that owns the password just answers a fresh nonce.
    const HttpResponse replayed = login(1);
    QCOMPARE(replayed.status, 401);
    QVERIFY(replayed.header("WWW-Authenticate").contains("stale=true"));
    QCOMPARE(login(3).status, 207);
    // A count overtaken by another request of the same client still counts once.
    QCOMPARE(login(2).status, 207);
    QCOMPARE(login(2).status, 401);
    QCOMPARE(login(3).status, 401);

    // Without qop there is no count to track: refused, and not as stale.
    const QByteArray ha1 = md5Hex("demo:zorvane.test:demo");
    const QByteArray fresh =
        challengeParameters(send("PROPFIND", "/dav/", {}, {}, {}).header("WWW-Authenticate")).value("nonce");
    const QByteArray noQop = "Digest username=\"demo\", realm=\"zorvane.test\", nonce=\"" + fresh
        + "\", uri=\"/dav/\", response=\"" + md5Hex(ha1 + ':' + fresh + ':' + md5Hex("PROPFIND:/dav/")) + '"';
    const HttpResponse refused = send("PROPFIND", "/dav/", {}, {}, noQop);
    QCOMPARE(refused.status, 401);
    QVERIFY(!refused.header("WWW-Authenticate").contains("stale"));

    // A flood of challenges makes the service forget the oldest nonces; their
    // holders are told stale, never that their password is wrong.
    const QByteArray early = send("PROPFIND", "/dav/", {}, {}, {}).header("WWW-Authenticate");
    for (qsizetype i = 0; i < DigestNonceBook::MaxTrackedNonces; ++i)
        send("PROPFIND", "/dav/", {}, {}, {});
    const HttpResponse forgotten =
        send("PROPFIND", "/dav/", {}, {}, digestAuthorization(early, "PROPFIND", "/dav/", "demo", "demo"));
    QCOMPARE(forgotten.status, 401);
    QVERIFY(forgotten.header("WWW-Authenticate").contains("stale=true"));
}

void tst_ServiceRequests::namedPropertiesAreBounded()
{
    const QByteArray inbox = "/mail/demo@zorvane.test/inbox/";
    QCOMPARE(send("PROPFIND", inbox, propfindNaming(numberedNames(DavRequestBody::MaxNamedProperties))).status, 207);
    QCOMPARE(send("PROPFIND", inbox, propfindNaming(numberedNames(DavRequestBody::MaxNamedProperties + 1))).status,
             413);
    // Few names, but long ones.
    const QList<QByteArray> longNames{QByteArray(DavRequestBody::MaxNamedPropertyBytes / 2, 'a'),
                                      QByteArray(DavRequestBody::MaxNamedPropertyBytes / 2 + 1, 'b')};
    QCOMPARE(send("PROPFIND", inbox, propfindNaming(longNames)).status, 413);

    // The body that once took the service down: thousands of empty elements
    // in a namespace of ten thousand characters, against a full folder.
    for (int i = 0; i < 50; ++i)
        dropMessage("new", "m" + QByteArray::number(i), "Subject: s\n\n", 1000 + i);
    const HttpResponse attack = send("PROPFIND", inbox, propfindNaming(numberedNames(5000), QByteArray(10000, 'n')));
    QCOMPARE(attack.status, 413);
    QVERIFY(attack.body.size() < 1000);

    QByteArray updates =
        "<?xml version=\"1.0\"?><D:propertyupdate xmlns:D=\"DAV:\" xmlns:o=\"urn:other\"><D:set><D:prop>";
    for (const QByteArray &name : numberedNames(DavRequestBody::MaxNamedProperties + 1))
        updates += "<o:" + name + ">1</o:" + name + ">";
    updates += "</D:prop></D:set></D:propertyupdate>";
    QCOMPARE(send("PROPPATCH", inbox + "m1", updates).status, 413);
}

void tst_ServiceRequests::unknownPropertiesAreAnsweredCompactly()
{
    for (int i = 0; i < 20; ++i)
        dropMessage("new", "m" + QByteArray::number(i), "Subject: s\n\n", 1000 + i);
    const QByteArray longNamespace = "urn:" + QByteArray(5000, 'n');
    QList<QByteArray> names = numberedNames(150);
    names << "p7"
          << "p7"; // repeats are answered once
    const HttpResponse answer =
        send("PROPFIND", "/mail/demo@zorvane.test/inbox/", propfindNaming(names, longNamespace), {{"depth", "1"}});
    QCOMPARE(answer.status, 207);
    QVERIFY(isWellFormedXml(answer.body));
    // The namespace is declared once for the whole answer, not once per name
    // and resource.
    QCOMPARE(answer.body.count(longNamespace), 1);
    QCOMPARE(answer.body.count("<x0:p7/>"), 21); // the folder and its 20 messages
    QVERIFY(answer.body.size() < 21 * 150 * 16);

    // A property in no namespace at all stays well-formed.
    const QByteArray bare = "<?xml version=\"1.0\"?><D:propfind xmlns:D=\"DAV:\"><D:prop><colour xmlns=\"\"/>"
                            "<m:read xmlns:m=\"urn:zorvane:mail\"/></D:prop></D:propfind>";
    const HttpResponse plain = send("PROPFIND", "/mail/demo@zorvane.test/inbox/m1", bare);
    QCOMPARE(plain.status, 207);
    QVERIFY(isWellFormedXml(plain.body));
    QVERIFY(plain.body.contains("<colour/>"));
    QVERIFY(plain.body.contains("<m:read>0</m:read>"));
}

void tst_ServiceRequests::largeListingsGoOutInPieces()
{
    constexpr int Messages = 2000;
    for (int i = 0; i < Messages; ++i)
        dropMessage(i % 2 ? "new" : "cur", "1733" + QByteArray::number(100000 + i) + ".M1P1.host",
                    "Subject: x\n\nbody\n", 1000 + i);
    HttpRequest request;
    request.method = "PROPFIND";
    request.rawTarget = "/mail/demo@zorvane.test/inbox/";
    request.headers = {{"host", Host}, {"depth", "1"}};
    request.basic = BasicCredentials{"demo", "demo"};
    HttpResponse response = m_service->serve(request);
    QCOMPARE(response.status, 207);
    QVERIFY(response.stream);
    QCOMPARE(response.stream->size(), -1);
    // Each piece holds a bounded number of responses, never the whole answer.
    QByteArray whole;
    qsizetype largestPiece = 0;
    int pieces = 0;
    bool failed = false;
    for (QByteArray piece; response.stream->next(&piece, &failed); piece.clear()) {
        largestPiece = qMax(largestPiece, piece.size());
        whole += piece;
        ++pieces;
    }
    QVERIFY(!failed);
    QVERIFY(pieces > 1);
    QVERIFY(largestPiece < MultistatusStream::PieceBytes + 2048);
    QVERIFY(isWellFormedXml(whole));
    const QList<QByteArray> listed = splitLed(applyStored(1015, whole), '*');
    QCOMPARE(listed.size(), Messages);
    QCOMPARE(listed.first(), DemoInbox + "1733100000.M1P1.host");
    QCOMPARE(splitLed(applyStored(1017, whole), '+').constFirst(), QByteArray("20"));
}

void tst_ServiceRequests::onlyRegularFilesAreMessages()
{
    dropMessage("new", "1.real", "Subject: real\n\n", 1);
    QVERIFY(QDir().mkpath(inboxPath("cur")));
    const QString accounts = m_dir->filePath(QStringLiteral("accounts"));
    QVERIFY(QFile::link(accounts, inboxPath("new/2.link")));
    QVERIFY(QFile::link(accounts, inboxPath("cur/3.link:2,S")));
    QVERIFY(::mkfifo(QFile::encodeName(inboxPath("new/4.fifo")).constData(), 0600) == 0);
    QVERIFY(QDir().mkpath(inboxPath("cur/5.folder:2,")));

    const auto listing = [&] {
        return splitLed(applyStored(1015, send("PROPFIND", "/mail/demo@zorvane.test/inbox/", storedText(1005)).body),
                        '*');
    };
    QCOMPARE(listing(), QList<QByteArray>{DemoInbox + "1.real"});
    const HttpResponse folders = send("PROPFIND", "/mail/demo@zorvane.test/", storedText(1005), {{"depth", "1"}});
    bool ok = false;
    QCOMPARE(applyStylesheet(folders.body, storedText(1011) + DemoInbox + storedText(1013), &ok), QByteArray("1"));
    for (const char *name : {"2.link", "3.link", "4.fifo", "5.folder"}) {
        const HttpResponse fetched = send("GET", "/mail/demo@zorvane.test/inbox/" + QByteArray(name));
        QCOMPARE(fetched.status, 404);
        QVERIFY(!fetched.body.contains("demo@zorvane.test demo"));
    }
    // Said once in the log, however often the folder is listed.
    QCOMPARE(listing().size(), 1);
    QCOMPARE(m_log.filter(QStringLiteral("2.link")).size(), 1);
    QVERIFY(m_log.filter(QStringLiteral("2.link")).first().contains(QStringLiteral("not a regular file")));
    QCOMPARE(m_log.filter(QStringLiteral("4.fifo")).size(), 1);

    // A message swapped for a link after it was listed is not followed.
    QVERIFY(QFile::remove(inboxPath("new/1.real")));
    QVERIFY(QFile::link(accounts, inboxPath("new/1.real")));
    const HttpResponse swapped = send("GET", "/mail/demo@zorvane.test/inbox/1.real");
    QVERIFY(swapped.status == 404 || swapped.status == 500);
    QVERIFY(!swapped.body.contains("demo@zorvane.test demo"));
    QVERIFY(!send("PROPFIND", "/mail/demo@zorvane.test/inbox/1.real", storedText(1005)).body.contains("annpw"));
}

void tst_ServiceRequests::failuresDoNotShowServerPaths()
{
    // The sent items cannot be written: their tmp/ is a file.
    QVERIFY(QDir().mkpath(inboxPath(".Sent Items/cur")));
    QVERIFY(QDir().mkpath(inboxPath(".Sent Items/new")));
    QVERIFY(writeFile(inboxPath(".Sent Items/tmp"), "in the way"));
    const HttpResponse refused =
        send("POST", "/mail/demo@zorvane.test/sendmsg",
             "MAIL FROM:<demo@zorvane.test>\r\nRCPT TO:<friend@example.org>\r\n\r\nSubject: s\r\n\r\nx",
             {{"x-zorvane-envelope", "t"}, {"x-zorvane-save-in-sent", "t"}});
    QCOMPARE(refused.status, 507);
    QCOMPARE(refused.header("X-Zorvane-Reason"), QByteArray("the message could not be stored"));
    QVERIFY(!refused.body.contains(m_dir->path().toUtf8()));
    QVERIFY(!refused.body.contains("/"));
    QCOMPARE(m_log.size(), 1);
    QVERIFY(m_log.first().contains(m_dir->path() + QStringLiteral("/mail/demo@zorvane.test/.Sent Items/tmp")));
    QCOMPARE(filesIn(m_dir->path() + QStringLiteral("/outbox/new")), QStringList());

    // An account whose mailbox cannot be made.
    QVERIFY(writeFile(m_dir->path() + QStringLiteral("/mail/ann@zorvane.test"), "not a folder"));
    const HttpResponse mailbox = send("PROPFIND", "/dav/", {}, {}, basicAuthorization("ann", "annpw"));
    QCOMPARE(mailbox.status, 507);
    QVERIFY(!mailbox.body.contains(m_dir->path().toUtf8()));
    QVERIFY(m_log.last().contains(m_dir->path()));
}

QTEST_GUILESS_MAIN(tst_ServiceRequests)
#include "tst_ServiceRequests.moc"
