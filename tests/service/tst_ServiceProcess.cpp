// The real zorvane-service program on a free port, driven over HTTP the way
// the agent drives it: Qt's network access manager with the stored request
// texts, the stored stylesheets applied to the answers, and raw sockets for
// what a well-behaved client never sends.

#include "ServiceProcess.h"
#include "ServiceTestSupport.h"

#include <QAuthenticator>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

using namespace ServiceTest;

namespace {

constexpr int WaitMs = 20000; // generous upper bound; every wait ends as soon as its signal comes

struct Answer
{
    int status = 0;
    QByteArray body;
    QByteArray location;
    QByteArray probe;
};

QList<QByteArray> splitLed(const QByteArray &output, char mark)
{
    QList<QByteArray> pieces = output.split(mark);
    pieces.removeFirst();
    return pieces;
}

QByteArray withCrLf(QByteArray text)
{
    text.replace("\r\n", "\n");
    text.replace("\n", "\r\n");
    return text;
}

} // namespace

class tst_ServiceProcess : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void printsItsAddressesAndStopsOnTerm();
    void refusesATakenPort();
    void qtClientLogsIn();
    void digestOnTheWire();
    void agentSequenceOnTheDemoMailbox();
    void messagesDroppedInAppearAndComeBackInWireForm();
    void redirectAndProbeOnTheWire();
    void oversizedBodyIsRefusedBeforeItIsRead();
    void rawPathsCannotLeaveTheDataFolder_data();
    void rawPathsCannotLeaveTheDataFolder();
    void aReplayedDigestAnswerIsRefused();
    void aRightAnswerToAnEarlierRunsNonceIsStale();
    void slowHeadsDoNotLockTheAgentOut();

private:
    bool startService(const QStringList &extra = {});
    Answer request(const QByteArray &verb, const QByteArray &url, const QByteArray &body = {},
                   const QList<QPair<QByteArray, QByteArray>> &headers = {});
    // Sends bytes on a fresh connection and returns what came back until the
    // service closed it or the answer was complete.
    QByteArray rawExchange(const QByteArray &bytes);
    // A fresh Digest challenge of the running service.
    QByteArray digestChallenge();
    QByteArray applyStored(int entry, const QByteArray &answer);

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<ServiceProcess> m_service;
    std::unique_ptr<QNetworkAccessManager> m_network;
    QByteArray m_serviceUrl;
    QByteArray m_altServiceUrl;
    QByteArray m_base;
    quint16 m_port = 0;
    QByteArray m_user = "demo";
    QByteArray m_password = "demo";
    int m_challengesAnswered = 0;
};

void tst_ServiceProcess::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_network = std::make_unique<QNetworkAccessManager>();
    m_challengesAnswered = 0;
    m_user = "demo";
    m_password = "demo";
    connect(m_network.get(), &QNetworkAccessManager::authenticationRequired, this,
            [this](QNetworkReply *, QAuthenticator *authenticator) {
                ++m_challengesAnswered;
                authenticator->setUser(QString::fromUtf8(m_user));
                authenticator->setPassword(QString::fromUtf8(m_password));
            });
}

void tst_ServiceProcess::cleanup()
{
    m_network.reset();
    m_service.reset();
    m_dir.reset();
}

bool tst_ServiceProcess::startService(const QStringList &extra)
{
    if (!m_service)
        m_service = std::make_unique<ServiceProcess>(m_dir->path());
    m_service->setOptions(QStringList{QStringLiteral("--quiet")} + extra);
    if (!m_service->start()) {
        qWarning("%s", qPrintable(m_service->problem()));
        return false;
    }
    // The two address lines come first, in this order.
    const QList<QByteArray> lines = m_service->runOutput().split('\n');
    if (lines.size() < 2 || !lines.at(0).startsWith("ServiceUrl=") || !lines.at(1).startsWith("AltServiceUrl="))
        return false;
    m_serviceUrl = m_service->serviceUrl().toUtf8();
    m_altServiceUrl = m_service->altServiceUrl().toUtf8();
    m_base = m_serviceUrl.left(m_serviceUrl.size() - 5);
    m_port = m_service->port();
    return true;
}

Answer tst_ServiceProcess::request(const QByteArray &verb, const QByteArray &url, const QByteArray &body,
                                   const QList<QPair<QByteArray, QByteArray>> &headers)
{
    QNetworkRequest request(QUrl::fromEncoded(url));
    for (const auto &header : headers)
        request.setRawHeader(header.first, header.second);
    QNetworkReply *reply = m_network->sendCustomRequest(request, verb, body);
    QSignalSpy finished(reply, &QNetworkReply::finished);
    Answer answer;
    if (!finished.wait(WaitMs)) {
        reply->deleteLater();
        return answer;
    }
    answer.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    answer.body = reply->readAll();
    answer.location = reply->rawHeader("Location");
    answer.probe = reply->rawHeader("X-Zorvane-Probe");
    reply->deleteLater();
    return answer;
}

QByteArray tst_ServiceProcess::rawExchange(const QByteArray &bytes)
{
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), m_port);
    if (!socket.waitForConnected(WaitMs))
        return {};
    socket.write(bytes);
    QByteArray answer;
    for (;;) {
        const qsizetype headerEnd = answer.indexOf("\r\n\r\n");
        if (headerEnd >= 0) {
            const QRegularExpressionMatch length = QRegularExpression(QStringLiteral("(?i)content-length: *(\\d+)"))
                                                       .match(QString::fromLatin1(answer.left(headerEnd)));
            if (length.hasMatch() && answer.size() >= headerEnd + 4 + length.captured(1).toLongLong())
                break;
        }
        if (socket.state() != QAbstractSocket::ConnectedState || !socket.waitForReadyRead(WaitMs))
            break;
        answer += socket.readAll();
    }
    return answer + socket.readAll();
}

QByteArray tst_ServiceProcess::digestChallenge()
{
    const QByteArray refused = rawExchange("PROPFIND /dav/ HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    const QRegularExpressionMatch digest =
        QRegularExpression(QStringLiteral("WWW-Authenticate: (Digest [^\r]*)")).match(QString::fromLatin1(refused));
    return digest.hasMatch() ? digest.captured(1).toLatin1() : QByteArray();
}

QByteArray tst_ServiceProcess::applyStored(int entry, const QByteArray &answer)
{
    bool ok = false;
    const QByteArray output = applyStylesheet(answer, storedText(entry), &ok);
    return ok ? output : QByteArray("(transformation failed)");
}

void tst_ServiceProcess::printsItsAddressesAndStopsOnTerm()
{
    QVERIFY(writeFile(m_dir->filePath(QStringLiteral("accounts")), "demo@zorvane.test demo\n"));
    QVERIFY(startService());
    QVERIFY(QRegularExpression(QStringLiteral("^http://127\\.0\\.0\\.1:[1-9][0-9]*/dav/$"))
                .match(QString::fromLatin1(m_serviceUrl))
                .hasMatch());
    QCOMPARE(m_altServiceUrl, m_base + "/alt");
    QVERIFY(m_port >= 1024);
    QCOMPARE(request("PROPFIND", m_serviceUrl + "?cmd=logoff").status, 207);
    QVERIFY(m_service->stop());
}

void tst_ServiceProcess::refusesATakenPort()
{
    QVERIFY(startService());
    QProcess second;
    second.start(qEnvironmentVariable("ZORVANE_BIN_DIR") + QStringLiteral("/zorvane-service"),
                 {QStringLiteral("--data"), m_dir->path(), QStringLiteral("--port"), QString::number(m_port)});
    QVERIFY(second.waitForFinished(WaitMs));
    QCOMPARE(second.exitCode(), 1);
    QVERIFY(second.readAllStandardOutput().isEmpty());
    QVERIFY(second.readAllStandardError().contains("cannot listen"));
}

void tst_ServiceProcess::qtClientLogsIn()
{
    QVERIFY(startService({QStringLiteral("--demo")}));
    const QList<QPair<QByteArray, QByteArray>> query{{storedText(1037), storedText(1038)},
                                                     {storedText(1033), storedText(1040)}};
    const Answer login = request(storedText(1032), m_serviceUrl, {}, query);
    QCOMPARE(login.status, 207);
    QCOMPARE(m_challengesAnswered, 1);
    // Later requests carry no credentials of their own: the cached ones answer.
    const QByteArray inbox = applyStored(1007, login.body);
    QCOMPARE(request(storedText(1032), inbox, storedText(1005), query).status, 207);
    QCOMPARE(m_challengesAnswered, 1);

    QNetworkAccessManager fresh;
    const auto plain = [&](const QByteArray &authorization) {
        QNetworkRequest basic(QUrl::fromEncoded(m_serviceUrl));
        basic.setRawHeader("Authorization", authorization);
        QNetworkReply *reply = fresh.sendCustomRequest(basic, "PROPFIND");
        QSignalSpy finished(reply, &QNetworkReply::finished);
        finished.wait(WaitMs);
        reply->deleteLater();
        return std::make_pair(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(),
                              reply->rawHeader("WWW-Authenticate"));
    };
    QCOMPARE(plain(basicAuthorization("demo", "demo")).first, 207);
    const auto refused = plain(basicAuthorization("demo", "wrong"));
    QCOMPARE(refused.first, 401);
    QVERIFY(refused.second.contains("Digest realm=\"zorvane.test\""));

    // The alternative demo account logs in with its full name.
    m_user = "demo@alt.zorvane.test";
    QNetworkAccessManager alternative;
    connect(&alternative, &QNetworkAccessManager::authenticationRequired, this, [](QNetworkReply *, QAuthenticator *a) {
        a->setUser(QStringLiteral("demo@alt.zorvane.test"));
        a->setPassword(QStringLiteral("demo"));
    });
    QNetworkReply *reply = alternative.sendCustomRequest(
        QNetworkRequest(QUrl::fromEncoded(m_altServiceUrl + "/demo@alt.zorvane.test")), "PROPFIND");
    QSignalSpy finished(reply, &QNetworkReply::finished);
    QVERIFY(finished.wait(WaitMs));
    QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 207);
    QCOMPARE(applyStored(1007, reply->readAll()), m_base + "/mail/demo@alt.zorvane.test/inbox/");
    reply->deleteLater();
}

void tst_ServiceProcess::digestOnTheWire()
{
    QVERIFY(writeFile(m_dir->filePath(QStringLiteral("accounts")), "demo@zorvane.test s3cret\n"));
    QVERIFY(startService());
    const QByteArray head = "PROPFIND /dav/ HTTP/1.1\r\nHost: 127.0.0.1\r\nDepth: 1\r\n";
    const QByteArray first = rawExchange(head + "Content-Length: 0\r\n\r\n");
    QVERIFY(first.startsWith("HTTP/1.1 401"));
    const QRegularExpressionMatch digest =
        QRegularExpression(QStringLiteral("WWW-Authenticate: (Digest [^\r]*)")).match(QString::fromLatin1(first));
    QVERIFY(digest.hasMatch());
    const QByteArray challenge = digest.captured(1).toLatin1();
    const QByteArray right = digestAuthorization(challenge, "PROPFIND", "/dav/", "demo", "s3cret");
    const QByteArray answer = rawExchange(head + "Authorization: " + right + "\r\nContent-Length: 0\r\n\r\n");
    QVERIFY2(answer.startsWith("HTTP/1.1 207"), answer.left(200).constData());
    QVERIFY(answer.contains("<m:inbox>http://127.0.0.1/mail/demo@zorvane.test/inbox/</m:inbox>"));
    const QByteArray wrong = digestAuthorization(challenge, "PROPFIND", "/dav/", "demo", "guess");
    QVERIFY(rawExchange(head + "Authorization: " + wrong + "\r\nContent-Length: 0\r\n\r\n").startsWith("HTTP/1.1 401"));
}

void tst_ServiceProcess::agentSequenceOnTheDemoMailbox()
{
    QVERIFY(startService({QStringLiteral("--demo")}));
    const QByteArray accounts = readFile(m_dir->filePath(QStringLiteral("accounts")));
    QVERIFY(accounts.contains("demo@zorvane.test demo\n"));
    QVERIFY(accounts.contains("demo@alt.zorvane.test demo\n"));
    const QPair<QByteArray, QByteArray> common{storedText(1037), storedText(1038)};
    const QPair<QByteArray, QByteArray> depth{storedText(1033), storedText(1040)};

    // Probe, login, addresses.
    QCOMPARE(request(storedText(1032), m_serviceUrl + storedText(1003), {}, {common}).status, 207);
    const Answer login = request(storedText(1032), m_serviceUrl, {}, {common, depth});
    QCOMPARE(login.status, 207);
    const QByteArray home = m_base + "/mail/demo@zorvane.test/";
    const QByteArray inbox = applyStored(1007, login.body);
    QCOMPARE(inbox, home + "inbox/");
    const QByteArray deletedItems = applyStored(1008, login.body);
    QCOMPARE(deletedItems, home + "deleteditems/");
    QCOMPARE(applyStored(1009, login.body), home + "sendmsg");
    const QByteArray collect = applyStored(1045, login.body);
    QCOMPARE(request(storedText(1031), collect).status, 200);

    // Store load: count from the collection, then lists from the inbox.
    const QByteArray collection = inbox.left(inbox.lastIndexOf('/', inbox.size() - 2) + 1);
    const Answer folders = request(storedText(1032), collection, storedText(1005), {common, depth});
    QCOMPARE(folders.status, 207);
    bool ok = false;
    QCOMPARE(applyStylesheet(folders.body, storedText(1011) + inbox + storedText(1013), &ok), QByteArray("5"));
    // The demo's messages are all unread, so the agent's default listing of
    // unread mail shows every one.
    QCOMPARE(applyStylesheet(folders.body, storedText(1011) + inbox + storedText(1012), &ok), QByteArray("5"));
    const Answer listing = request(storedText(1032), inbox, storedText(1005), {common, depth});
    const QList<QByteArray> addresses = splitLed(applyStored(1015, listing.body), '*');
    const QList<QByteArray> sizes = splitLed(applyStored(1017, listing.body), '+');
    QCOMPARE(addresses.size(), 5);
    QCOMPARE(sizes.size(), 5);
    QCOMPARE(splitLed(applyStored(1014, listing.body), '*'), addresses);
    QCOMPARE(splitLed(applyStored(1016, listing.body), '+'), sizes);

    // Every message comes back in wire form at its listed size; the demo has
    // a large one and one with dot lines.
    bool sawLarge = false;
    bool sawDots = false;
    for (qsizetype i = 0; i < addresses.size(); ++i) {
        const Answer message = request(storedText(1031), addresses.at(i), {}, {common});
        QCOMPARE(message.status, 200);
        QCOMPARE(QByteArray::number(message.body.size()), sizes.at(i));
        QCOMPARE(message.body, withCrLf(message.body));
        sawLarge = sawLarge || message.body.size() > 50000;
        sawDots = sawDots || message.body.contains("\r\n.\r\n");
    }
    QVERIFY(sawLarge);
    QVERIFY(sawDots);

    // TOP's header fetch.
    const Answer properties = request(storedText(1032), addresses.at(1), storedText(1005), {common, depth});
    QByteArray headerStylesheet;
    for (int entry = 1018; entry <= 1022; ++entry)
        headerStylesheet += storedText(entry);
    const QByteArray headerLines = applyStylesheet(properties.body, headerStylesheet, &ok);
    QVERIFY(ok);
    const QByteArray full = request(storedText(1031), addresses.at(1), {}, {common}).body;
    QCOMPARE(headerLines, full.left(full.indexOf("\r\n\r\n") + 2));

    // QUIT's update phase: mark read, then move to the deleted items.
    const QByteArray name = addresses.at(1).mid(addresses.at(1).lastIndexOf('/') + 1);
    QCOMPARE(request(storedText(1030), addresses.at(1), storedText(1006), {common, depth}).status, 207);
    const Answer marked = request(storedText(1032), inbox, storedText(1005), {common, depth});
    QCOMPARE(splitLed(applyStored(1014, marked.body), '*').size(), 4);
    const Answer moved = request(storedText(1029), addresses.at(1), {},
                                 {common, {storedText(1034), deletedItems + name}, {storedText(1035), "t"}});
    QCOMPARE(moved.status, 201);
    QCOMPARE(moved.location, deletedItems + name);
    const Answer after = request(storedText(1032), inbox, storedText(1005), {common, depth});
    QCOMPARE(splitLed(applyStored(1015, after.body), '*').size(), 4);
    QCOMPARE(splitLed(applyStored(1014, after.body), '*').size(), 4);
    QCOMPARE(request(storedText(1031), deletedItems + name, {}, {common}).body, full);

    // Sending with a copy in the sent items.
    const QByteArray submission = "MAIL FROM:<demo@zorvane.test>\r\nRCPT TO:<demo@alt.zorvane.test>\r\n\r\n"
                                  "From: demo@zorvane.test\r\nSubject: to myself\r\n\r\nhello\r\n";
    const Answer sent =
        request(storedText(1028), applyStored(1009, login.body), submission,
                {common, {storedText(1033), storedText(1041)}, {storedText(1042), "t"}, {storedText(1043), "t"}});
    QCOMPARE(sent.status, 201);
    const QString altNew = m_dir->path() + QStringLiteral("/mail/demo@alt.zorvane.test/new/");
    QCOMPARE(filesIn(altNew).size(), 3); // the demo's two and the one just sent
    QCOMPARE(filesIn(m_dir->path() + QStringLiteral("/mail/demo@zorvane.test/.Sent Items/cur")).size(), 1);
    QCOMPARE(request(storedText(1032), m_altServiceUrl + storedText(1003), {}, {common}).probe, QByteArray("alive"));
}

void tst_ServiceProcess::messagesDroppedInAppearAndComeBackInWireForm()
{
    QVERIFY(writeFile(m_dir->filePath(QStringLiteral("accounts")), "demo@zorvane.test demo\n"));
    QVERIFY(startService());
    const QByteArray inbox = m_base + "/mail/demo@zorvane.test/inbox/";
    QCOMPARE(applyStored(1015, request("PROPFIND", inbox, storedText(1005)).body), QByteArray());

    const QByteArray stored = "From: someone@example.org\nSubject: dropped\n\n.\nfirst\n\nlast\n";
    QVERIFY(writeFile(m_dir->path() + QStringLiteral("/mail/demo@zorvane.test/new/1733600000.M1P1.mta"), stored));
    const Answer listing = request("PROPFIND", inbox, storedText(1005));
    QCOMPARE(applyStored(1015, listing.body), "*" + inbox + "1733600000.M1P1.mta");
    const QByteArray wire = "From: someone@example.org\r\nSubject: dropped\r\n\r\n.\r\nfirst\r\n\r\nlast\r\n";
    QCOMPARE(applyStored(1017, listing.body), "+" + QByteArray::number(wire.size()));
    QCOMPARE(request("GET", inbox + "1733600000.M1P1.mta").body, wire);
}

void tst_ServiceProcess::redirectAndProbeOnTheWire()
{
    QVERIFY(writeFile(m_dir->filePath(QStringLiteral("accounts")), "moved@zorvane.test pw redirect\n"));
    QVERIFY(startService());
    m_user = "moved";
    m_password = "pw";
    const Answer redirect = request("PROPFIND", m_serviceUrl);
    QCOMPARE(redirect.status, 900);
    QCOMPARE(redirect.location, m_base + "/mail/moved@zorvane.test/");
    const Answer there = request("PROPFIND", redirect.location);
    QCOMPARE(there.status, 207);
    QCOMPARE(applyStored(1007, there.body), m_base + "/mail/moved@zorvane.test/inbox/");

    const Answer root = request("PROPFIND", m_base + "/");
    QCOMPARE(root.status, 900);
    QCOMPARE(root.location, m_serviceUrl);
    const Answer probe = request("PROPFIND", m_altServiceUrl + storedText(1003));
    QCOMPARE(probe.status, 900);
    QCOMPARE(probe.probe, QByteArray("alive"));
}

void tst_ServiceProcess::oversizedBodyIsRefusedBeforeItIsRead()
{
    QVERIFY(writeFile(m_dir->filePath(QStringLiteral("accounts")), "demo@zorvane.test demo\n"));
    QVERIFY(startService());
    // Only the head is sent; the answer must come without the body.
    const QByteArray answer = rawExchange("POST /mail/demo@zorvane.test/sendmsg HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                          "Authorization: "
                                          + basicAuthorization("demo", "demo")
                                          + "\r\n"
                                            "Content-Length: 100000000\r\n\r\n");
    QVERIFY2(answer.startsWith("HTTP/1.1 413"), answer.left(100).constData());
    QVERIFY(answer.contains("X-Zorvane-Reason: the request body is larger than"));
    QVERIFY(!QDir(m_dir->path() + QStringLiteral("/outbox")).exists());
    // The service goes on serving.
    QCOMPARE(request("PROPFIND", m_serviceUrl + "?cmd=logoff").status, 207);
}

void tst_ServiceProcess::rawPathsCannotLeaveTheDataFolder_data()
{
    QTest::addColumn<QByteArray>("target");
    QTest::newRow("dot dot") << QByteArray("/mail/demo@zorvane.test/inbox/../../../accounts");
    QTest::newRow("encoded dot dot") << QByteArray("/mail/%2e%2e/%2e%2e/accounts");
    QTest::newRow("encoded slash") << QByteArray("/mail/demo@zorvane.test/inbox/..%2f..%2f..%2faccounts");
    QTest::newRow("nul") << QByteArray("/mail/demo@zorvane.test/inbox/x%00");
    QTest::newRow("absolute") << QByteArray("/mail/%2Fetc%2Fpasswd/inbox/x");
}

void tst_ServiceProcess::rawPathsCannotLeaveTheDataFolder()
{
    QFETCH(QByteArray, target);
    QVERIFY(writeFile(m_dir->filePath(QStringLiteral("accounts")), "demo@zorvane.test demo\n"));
    QVERIFY(startService());
    const QByteArray answer = rawExchange("GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: "
                                          + basicAuthorization("demo", "demo") + "\r\n\r\n");
    QVERIFY2(answer.startsWith("HTTP/1.1 400"), answer.left(100).constData());
    QVERIFY(!answer.contains("demo@zorvane.test demo"));
    QVERIFY(!answer.contains("root:"));
}

void tst_ServiceProcess::aReplayedDigestAnswerIsRefused()
{
    QVERIFY(writeFile(m_dir->filePath(QStringLiteral("accounts")), "demo@zorvane.test s3cret\n"));
    QVERIFY(startService());
    const QByteArray challenge = digestChallenge();
    QVERIFY(!challenge.isEmpty());
    const QByteArray login = "PROPFIND /dav/ HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: "
        + digestAuthorization(challenge, "PROPFIND", "/dav/", "demo", "s3cret") + "\r\n\r\n";
    QVERIFY(rawExchange(login).startsWith("HTTP/1.1 207"));
    // The same request, heard on the wire and sent again on a connection of
    // its own: refused.
    const QByteArray replayed = rawExchange(login);
    QVERIFY2(replayed.startsWith("HTTP/1.1 401"), replayed.left(200).constData());
    QVERIFY(!replayed.contains("<m:inbox>"));
    // The client itself counts on and goes on.
    const QByteArray next = "PROPFIND /dav/ HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: "
        + digestAuthorization(challenge, "PROPFIND", "/dav/", "demo", "s3cret", 2) + "\r\n\r\n";
    QVERIFY(rawExchange(next).startsWith("HTTP/1.1 207"));
}

void tst_ServiceProcess::aRightAnswerToAnEarlierRunsNonceIsStale()
{
    QVERIFY(writeFile(m_dir->filePath(QStringLiteral("accounts")), "demo@zorvane.test s3cret\n"));
    QVERIFY(startService());
    const QByteArray earlier = digestChallenge();
    QVERIFY(m_service->stop());
    QVERIFY(startService());
    const auto login = [&](const QByteArray &password) {
        return rawExchange("PROPFIND /dav/ HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: "
                           + digestAuthorization(earlier, "PROPFIND", "/dav/", "demo", password) + "\r\n\r\n");
    };
    const QByteArray stale = login("s3cret");
    QVERIFY(stale.startsWith("HTTP/1.1 401"));
    QVERIFY(stale.contains("stale=true"));
    const QByteArray wrong = login("guess");
    QVERIFY(wrong.startsWith("HTTP/1.1 401"));
    QVERIFY(!wrong.contains("stale"));
}

void tst_ServiceProcess::slowHeadsDoNotLockTheAgentOut()
{
    QVERIFY(writeFile(m_dir->filePath(QStringLiteral("accounts")), "demo@zorvane.test demo\n"));
    QVERIFY(startService());
    // As many connections as one address may hold, each with a head it
    // never finishes.
    constexpr int Holders = 40;
    std::vector<std::unique_ptr<QTcpSocket>> holders;
    for (int i = 0; i < Holders; ++i) {
        holders.push_back(std::make_unique<QTcpSocket>());
        holders.back()->connectToHost(QStringLiteral("127.0.0.1"), m_port);
        QVERIFY(holders.back()->waitForConnected(WaitMs));
        holders.back()->write("PROPFIND /dav/ HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: 1\r\n");
        QVERIFY(holders.back()->waitForBytesWritten(WaitMs));
    }
    // The agent from the same address logs in, answered on its first try.
    const QByteArray answer = rawExchange("PROPFIND /dav/ HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: "
                                          + basicAuthorization("demo", "demo") + "\r\n\r\n");
    QVERIFY2(answer.startsWith("HTTP/1.1 207"), answer.left(100).constData());
}

QTEST_GUILESS_MAIN(tst_ServiceProcess)
#include "tst_ServiceProcess.moc"
