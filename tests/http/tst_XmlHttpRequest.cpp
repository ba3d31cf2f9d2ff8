#include "FakeHttpPeer.h"
#include "HttpTransfer.h"
#include "XmlHttpRequest.h"

#include <QCryptographicHash>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

#include <memory>

using Answer = FakeHttpPeer::Answer;
using Request = FakeHttpPeer::Request;

// The request component against scripted peers: what comes back, how
// failures below HTTP are numbered, ready states, credentials, and the
// blocking send.
class tst_XmlHttpRequest : public QObject
{
    Q_OBJECT

private slots:
    void answersComeThroughUnchanged_data();
    void answersComeThroughUnchanged();
    void requestCarriesVerbHeadersAndBody();
    void responseXmlIsEmptyUnlessWellFormedAndComplete();
    void connectionsAreKeptAliveAcrossRequests();
    void receiveWindowHoldsBackTheAnswer();
    void deadKeptConnectionRepeatsOnlyWhatIsSafe();
    void requestsThatWouldBreakTheirLinesAreRefused_data();
    void requestsThatWouldBreakTheirLinesAreRefused();

    void failuresBelowHttpBecomeNetworkCodes_data();
    void failuresBelowHttpBecomeNetworkCodes();

    void readyStateIsOneUntilTheAnswerBegins();
    void readyStateIsThreeWhileTheAnswerArrives();
    void reopeningAbandonsTheRequestInFlight();
    void callerMayAbortOrDeleteFromTheSignal();

    void wrongPasswordIs401ThenRightOneIsAccepted_data();
    void wrongPasswordIs401ThenRightOneIsAccepted();
    void loginCredentialsAnswerLaterChallengesOfThatServiceOnly();
    void failedLoginKeepsTheAcceptedCredentials();
    void loginUnderAnotherAccountNeverPresentsTheFirst();
    void laterRequestsOfAnAccountNeedNoChallenge_data();
    void laterRequestsOfAnAccountNeedNoChallenge();
    void forgottenNonceGetsOneFreshChallenge();

    void synchronousSendRunsNoEventsOfTheCaller();
    void sentBodyIsNotKeptOnceAnswered();
    void bodyIsHandedOverPieceByPiece();
    void synchronousSendUsesTheLoginCredentials();
    void synchronousSendReportsFailuresAsCodes();
    void totalLimitEndsEvenATricklingAnswer();
};

namespace {

const QByteArray Multistatus = "<?xml version=\"1.0\"?><D:multistatus xmlns:D=\"DAV:\"><D:response>"
                               "<D:href>/mail/inbox/</D:href></D:response></D:multistatus>";

bool completes(XmlHttpRequest &request, int timeoutMilliseconds = 15000)
{
    QSignalSpy changes(&request, &XmlHttpRequest::readyStateChanged);
    while (request.readyState() != 4) {
        if (!changes.wait(timeoutMilliseconds))
            return false;
    }
    return true;
}

QByteArray basicFor(const QByteArray &user, const QByteArray &password)
{
    return "Basic " + (user + ':' + password).toBase64();
}

// Accepts Basic for the one account; challenges everything else.
FakeHttpPeer::Responder basicGate(const QByteArray &user, const QByteArray &password)
{
    return [user, password](const Request &request) {
        if (request.header("Authorization") != basicFor(user, password))
            return FakeHttpPeer::basicChallenge("zorvane", "<p>denied</p>");
        return FakeHttpPeer::reply(207, "Multi-Status", "welcome " + user, {{"Content-Type", "text/xml"}});
    };
}

QByteArray md5Hex(const QByteArray &text)
{
    return QCryptographicHash::hash(text, QCryptographicHash::Md5).toHex();
}

// Accepts Digest (MD5, qop=auth) for the one account, with the nonce it
// currently issues (a service that restarts issues another).
FakeHttpPeer::Responder
digestGate(const QByteArray &user, const QByteArray &password,
           std::shared_ptr<const QByteArray> currentNonce = std::make_shared<const QByteArray>("5f1e9c0d2b"))
{
    return [user, password, currentNonce](const Request &request) {
        const QByteArray realm = "zorvane", nonce = *currentNonce;
        const QByteArray authorization = request.header("Authorization");
        QHash<QByteArray, QByteArray> fields;
        static const QRegularExpression field(QStringLiteral("(\\w+)=(?:\"([^\"]*)\"|([^,\\s]*))"));
        for (const auto &match : field.globalMatch(QString::fromLatin1(authorization))) {
            const QString value = match.captured(2).isNull() ? match.captured(3) : match.captured(2);
            fields.insert(match.captured(1).toLatin1(), value.toLatin1());
        }
        const QByteArray ha1 = md5Hex(user + ':' + realm + ':' + password);
        const QByteArray ha2 = md5Hex(request.verb + ':' + fields.value("uri"));
        const QByteArray expected =
            md5Hex(ha1 + ':' + nonce + ':' + fields.value("nc") + ':' + fields.value("cnonce") + ":auth:" + ha2);
        if (!authorization.startsWith("Digest ") || fields.value("username") != user
            || fields.value("response") != expected)
            return FakeHttpPeer::reply(
                401, "Unauthorized", "<p>denied</p>",
                {{"WWW-Authenticate",
                  "Digest realm=\"" + realm + "\", nonce=\"" + nonce + "\", qop=\"auth\", algorithm=MD5"}});
        return FakeHttpPeer::reply(207, "Multi-Status", "welcome " + user);
    };
}

quint16 portWhereNothingListens()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort(); // closed when probe goes
}

} // namespace

void tst_XmlHttpRequest::answersComeThroughUnchanged_data()
{
    QTest::addColumn<QByteArray>("wire");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("statusText");
    QTest::addColumn<QByteArray>("headerName");
    QTest::addColumn<QByteArray>("headerValue");
    QTest::addColumn<QByteArray>("body");

    const QByteArray binary("a\0b\r\n.\r\n\xff\x80 end", 14);
    QTest::newRow("207 multistatus") << "HTTP/1.1 207 Multi-Status\r\nContent-Type: text/xml\r\nContent-Length: "
            + QByteArray::number(Multistatus.size()) + "\r\n\r\n" + Multistatus
                                     << 207 << QByteArray("Multi-Status") << QByteArray("content-type")
                                     << QByteArray("text/xml") << Multistatus;
    QTest::newRow("900 with location") << QByteArray(
        "HTTP/1.1 900 Go Elsewhere\r\nLocation: http://127.0.0.1:1/alt/\r\nContent-Length: 4\r\n\r\nmove")
                                       << 900 << QByteArray("Go Elsewhere") << QByteArray("Location")
                                       << QByteArray("http://127.0.0.1:1/alt/") << QByteArray("move");
    QTest::newRow("302 is not followed") << QByteArray(
        "HTTP/1.1 302 Found\r\nLocation: /elsewhere\r\nContent-Length: 0\r\n\r\n")
                                         << 302 << QByteArray("Found") << QByteArray("Location")
                                         << QByteArray("/elsewhere") << QByteArray();
    QTest::newRow("503 with body") << QByteArray(
        "HTTP/1.1 503 Service Unavailable\r\nRetry-After: 5\r\nContent-Length: 4\r\n\r\nbusy")
                                   << 503 << QByteArray("Service Unavailable") << QByteArray("Retry-After")
                                   << QByteArray("5") << QByteArray("busy");
    QTest::newRow("eight-bit body") << "HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(binary.size())
            + "\r\n\r\n" + binary << 200
                                    << QByteArray("OK") << QByteArray("Content-Length")
                                    << QByteArray::number(binary.size()) << binary;
    QTest::newRow("chunked body") << QByteArray(
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n2\r\nde\r\n0\r\n\r\n")
                                  << 200 << QByteArray("OK") << QByteArray("Transfer-Encoding") << QByteArray("chunked")
                                  << QByteArray("abcde");
    QTest::newRow("close-delimited body")
        << QByteArray("HTTP/1.0 200 OK\r\nX-Kind: old\r\n\r\nuntil the end") << 200 << QByteArray("OK")
        << QByteArray("X-Kind") << QByteArray("old") << QByteArray("until the end");
}

void tst_XmlHttpRequest::answersComeThroughUnchanged()
{
    QFETCH(QByteArray, wire);
    QFETCH(int, status);
    QFETCH(QByteArray, statusText);
    QFETCH(QByteArray, headerName);
    QFETCH(QByteArray, headerValue);
    QFETCH(QByteArray, body);

    FakeHttpPeer peer;
    QVERIFY(peer.listen());
    Answer answer = FakeHttpPeer::raw(wire);
    if (wire.startsWith("HTTP/1.0"))
        answer.close();
    peer.enqueue(answer);

    XmlHttpRequest request;
    QSignalSpy states(&request, &XmlHttpRequest::readyStateChanged);
    request.open("PROPFIND", peer.url("/mail/"), true);
    request.send();
    QVERIFY(completes(request));

    bool ok = false;
    QCOMPARE(request.status(&ok), status);
    QVERIFY(ok);
    QCOMPARE(request.statusText(), statusText);
    QCOMPARE(request.getResponseHeader(headerName), headerValue);
    QVERIFY(request.getAllResponseHeaders().contains(headerValue + "\r\n"));
    QCOMPARE(request.responseText(), body);
    QCOMPARE(states.first().first().toInt(), 1);
    QCOMPARE(states.last().first().toInt(), 4);
    // A 3xx is never followed. (Qt may resend a request once when the peer
    // closes right after a close-delimited answer; the resend goes to the same
    // address and its answer is not the one reported.)
    QVERIFY(!peer.requests().isEmpty());
    for (const FakeHttpPeer::Request &sent : peer.requests())
        QCOMPARE(sent.target, QByteArray("/mail/"));
    if (status / 100 == 3)
        QCOMPARE(peer.requests().size(), 1);
}

void tst_XmlHttpRequest::requestCarriesVerbHeadersAndBody()
{
    FakeHttpPeer peer;
    QVERIFY(peer.listen());
    for (int i = 0; i < 4; ++i)
        peer.enqueue(FakeHttpPeer::reply(200, "OK"));

    const QByteArray body("MAIL FROM:<a@zorvane.test>\r\n\r\nSubject: x\r\n\r\n\0\xff", 46);
    const QList<QByteArray> verbs{"PROPPATCH", "MOVE", "POST", "GET"};
    XmlHttpRequest request;
    for (const QByteArray &verb : verbs) {
        request.open(verb, peer.url("/mail/inbox/msg%201.eml?x=1"), true);
        request.setRequestHeader("Depth", "1");
        request.setRequestHeader("Destination", "/mail/deleted/msg1.eml");
        request.setRequestHeader("X-Twice", "a");
        request.setRequestHeader("X-Twice", "b");
        request.send(verb == "GET" ? QByteArray() : body);
        QVERIFY(completes(request));
        QCOMPARE(request.status(), 200);
    }
    const QList<Request> received = peer.requests();
    QCOMPARE(received.size(), verbs.size());
    for (qsizetype i = 0; i < verbs.size(); ++i) {
        const Request &r = received.at(i);
        QCOMPARE(r.verb, verbs.at(i));
        QCOMPARE(r.target, QByteArray("/mail/inbox/msg%201.eml?x=1"));
        QCOMPARE(r.header("Depth"), QByteArray("1"));
        QCOMPARE(r.header("Destination"), QByteArray("/mail/deleted/msg1.eml"));
        QCOMPARE(r.header("X-Twice"), QByteArray("a, b"));
        QCOMPARE(r.body, verbs.at(i) == "GET" ? QByteArray() : body);
    }
}

void tst_XmlHttpRequest::responseXmlIsEmptyUnlessWellFormedAndComplete()
{
    FakeHttpPeer peer;
    QVERIFY(peer.listen());
    peer.enqueue(FakeHttpPeer::reply(207, "Multi-Status", Multistatus));
    peer.enqueue(FakeHttpPeer::reply(500, "Oops", "<html><body>broken<br></body></html>"));

    XmlHttpRequest request;
    request.open("PROPFIND", peer.url("/"), true);
    QVERIFY(request.responseXML().isEmpty());
    request.send();
    QVERIFY(completes(request));
    QVERIFY(request.responseXML().xml().contains("<D:href>/mail/inbox/</D:href>"));

    request.open("PROPFIND", peer.url("/"), true);
    QVERIFY(request.responseXML().isEmpty()); // nothing of the last answer survives open
    request.send();
    QVERIFY(completes(request));
    QCOMPARE(request.status(), 500);
    QVERIFY(request.responseXML().xml().isEmpty());
}

void tst_XmlHttpRequest::connectionsAreKeptAliveAcrossRequests()
{
    FakeHttpPeer peer;
    QVERIFY(peer.listen());
    peer.setResponder([](const Request &) { return FakeHttpPeer::reply(200, "OK", "x"); });
    for (int i = 0; i < 3; ++i) {
        XmlHttpRequest request; // separate objects share the manager's connections
        request.open("GET", peer.url("/"), true);
        request.send();
        QVERIFY(completes(request));
        QCOMPARE(request.status(), 200);
    }
    QCOMPARE(peer.requests().size(), 3);
    QCOMPARE(peer.connectionCount(), 1);
}

// A kept connection that the service closes on receiving a request: a GET
// is sent once more on a fresh connection, a POST (which may have stored a
// message before the close) is not; its failure is the caller's to judge.
void tst_XmlHttpRequest::deadKeptConnectionRepeatsOnlyWhatIsSafe()
{
    FakeHttpPeer peer;
    QVERIFY(peer.listen());
    peer.enqueue(FakeHttpPeer::reply(200, "OK", "first"));
    peer.enqueue(FakeHttpPeer::drop());
    peer.enqueue(FakeHttpPeer::reply(200, "OK", "again"));
    peer.enqueue(FakeHttpPeer::drop());
    peer.enqueue(FakeHttpPeer::reply(201, "Created"));

    XmlHttpRequest request;
    for (const QByteArray expected : {"first", "again"}) {
        request.open("GET", peer.url("/mail/inbox/1.eml"), true);
        request.send();
        QVERIFY(completes(request));
        QCOMPARE(request.status(), 200);
        QCOMPARE(request.responseText(), expected);
    }
    QCOMPARE(peer.requests().size(), 3);

    request.open("POST", peer.url("/mail/sendmsg"), true);
    request.send("MAIL FROM:<a@zorvane.test>\r\n\r\nonce\r\n");
    QVERIFY(completes(request));
    QCOMPARE(request.status(), 12030);
    QCOMPARE(peer.requests().size(), 4);
    QCOMPARE(peer.requests().last().verb, QByteArray("POST"));
    QVERIFY(!peer.scriptConsumed());
}

void tst_XmlHttpRequest::requestsThatWouldBreakTheirLinesAreRefused_data()
{
    QTest::addColumn<QByteArray>("verb");
    QTest::addColumn<QByteArray>("headerName");
    QTest::addColumn<QByteArray>("headerValue");
    QTest::addColumn<QString>("user");

    QTest::newRow("CR LF in a value") << QByteArray("GET") << QByteArray("Destination")
                                      << QByteArray("/a\r\nX-Injected: 1") << QString();
    QTest::newRow("bare LF in a value") << QByteArray("GET") << QByteArray("Depth") << QByteArray("1\nX: y")
                                        << QString();
    QTest::newRow("NUL in a value") << QByteArray("GET") << QByteArray("Depth") << QByteArray("1\0x", 3) << QString();
    QTest::newRow("colon in a name") << QByteArray("GET") << QByteArray("X-A: b") << QByteArray("c") << QString();
    QTest::newRow("blank in the verb") << QByteArray("GET / HTTP/1.0\r\n") << QByteArray("Depth") << QByteArray("1")
                                       << QString();
    QTest::newRow("CR LF in the user name")
        << QByteArray("PROPFIND") << QByteArray("Depth") << QByteArray("1") << QStringLiteral("ann\r\nX-Injected: 1");
}

// Whatever their source, bytes that would end a request line or header
// line early never reach the service: the request fails before it is sent.
void tst_XmlHttpRequest::requestsThatWouldBreakTheirLinesAreRefused()
{
    QFETCH(QByteArray, verb);
    QFETCH(QByteArray, headerName);
    QFETCH(QByteArray, headerValue);
    QFETCH(QString, user);

    FakeHttpPeer peer;
    QVERIFY(peer.listenInOwnThread());
    peer.setResponder([](const Request &) { return FakeHttpPeer::reply(200, "OK"); });
    for (const bool async : {true, false}) {
        XmlHttpRequest request;
        request.open(verb, peer.url("/mail/"), async, user, user.isNull() ? QString() : QStringLiteral("pw"));
        request.setRequestHeader(headerName, headerValue);
        request.send();
        QVERIFY(completes(request));
        QCOMPARE(request.status(), 12027);
    }
    QCOMPARE(peer.connectionCount(), 0);
}

void tst_XmlHttpRequest::failuresBelowHttpBecomeNetworkCodes_data()
{
    QTest::addColumn<QString>("url"); // "PEER" stands for the scripted peer
    QTest::addColumn<Answer>("answer");
    QTest::addColumn<qint64>("maxResponseBytes");
    QTest::addColumn<int>("timeout");
    QTest::addColumn<int>("code");

    const qint64 noCap = XmlHttpRequest::DefaultMaxResponseBytes;
    const int noTimeout = 0;
    const QByteArray headOf10 = "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n";
    QTest::newRow("refused") << QStringLiteral("http://127.0.0.1:%1/").arg(portWhereNothingListens()) << Answer()
                             << noCap << noTimeout << 12029;
    QTest::newRow("unknown scheme") << QStringLiteral("ftp://127.0.0.1/x") << Answer() << noCap << noTimeout << 12006;
    QTest::newRow("no host") << QStringLiteral("http:///mail/") << Answer() << noCap << noTimeout << 12005;
    QTest::newRow("relative") << QStringLiteral("mail/inbox") << Answer() << noCap << noTimeout << 12005;
    QTest::newRow("garbled") << QStringLiteral("http://exa mple.test/") << Answer() << noCap << noTimeout << 12005;
    QTest::newRow("name not resolved") << QStringLiteral("http://no-such-host.invalid/") << Answer() << noCap
                                       << noTimeout << 12007;
    QTest::newRow("dropped before answering")
        << QStringLiteral("PEER") << FakeHttpPeer::drop() << noCap << noTimeout << 12030;
    QTest::newRow("closed inside the body")
        << QStringLiteral("PEER") << FakeHttpPeer::raw(headOf10 + "abc").close() << noCap << noTimeout << 12030;
    QTest::newRow("reset inside the body")
        << QStringLiteral("PEER") << FakeHttpPeer::raw(headOf10 + "abc").reset() << noCap << noTimeout << 12030;
    QTest::newRow("reset inside the body after a pause")
        << QStringLiteral("PEER") << FakeHttpPeer::raw(headOf10 + "abc").wait(50).reset() << noCap << noTimeout
        << 12030;
    QTest::newRow("closed inside the body after a pause")
        << QStringLiteral("PEER") << FakeHttpPeer::raw(headOf10 + "abc").wait(50).close() << noCap << noTimeout
        << 12030;
    QTest::newRow("declared body above the cap")
        << QStringLiteral("PEER") << FakeHttpPeer::reply(200, "OK", "0123456789") << qint64(9) << noTimeout << 12004;
    QTest::newRow("undeclared body above the cap")
        << QStringLiteral("PEER") << FakeHttpPeer::raw("HTTP/1.0 200 OK\r\n\r\n0123456789").close() << qint64(9)
        << noTimeout << 12004;
    QTest::newRow("silent past the time-out")
        << QStringLiteral("PEER") << FakeHttpPeer::silence() << noCap << 200 << 12002;
}

void tst_XmlHttpRequest::failuresBelowHttpBecomeNetworkCodes()
{
    QFETCH(QString, url);
    QFETCH(Answer, answer);
    QFETCH(qint64, maxResponseBytes);
    QFETCH(int, timeout);
    QFETCH(int, code);

    FakeHttpPeer peer;
    QVERIFY(peer.listen());
    if (url == QLatin1String("PEER")) {
        url = peer.url("/mail/");
        peer.setResponder([answer](const Request &) { return answer; }); // also for the client's retries
    }
    XmlHttpRequest request;
    request.setMaxResponseBytes(maxResponseBytes);
    if (timeout > 0)
        request.setTimeout(timeout);
    request.open("PROPFIND", url, true);
    request.send();
    QVERIFY(completes(request));
    bool ok = false;
    QCOMPARE(request.status(&ok), code);
    QVERIFY(ok);
    QCOMPARE(request.statusText(), QByteArray());
    QCOMPARE(request.responseText(), QByteArray()); // no cut-off body passes for an answer
}

void tst_XmlHttpRequest::readyStateIsOneUntilTheAnswerBegins()
{
    FakeHttpPeer peer;
    QVERIFY(peer.listen());
    peer.enqueue(FakeHttpPeer::silence());

    XmlHttpRequest request;
    QCOMPARE(request.readyState(), 0);
    request.open("PROPFIND", peer.url("/"), true);
    request.send();
    QCOMPARE(request.readyState(), 1);
    QVERIFY(peer.waitForRequests(1));
    QCOMPARE(request.readyState(), 1);
    bool ok = true;
    int error = 0;
    request.status(&ok, &error);
    QVERIFY(!ok);
    QCOMPARE(error, XmlHttpRequest::ErrorNotComplete);

    // Given up: no status, and the transfer really stops.
    QSignalSpy states(&request, &XmlHttpRequest::readyStateChanged);
    request.abort();
    QCOMPARE(request.readyState(), 0);
    request.status(&ok, &error);
    QVERIFY(!ok);
    QCOMPARE(error, XmlHttpRequest::ErrorNotComplete);
    QCOMPARE(states.size(), 1);
    QTRY_COMPARE(peer.openConnectionCount(), 0);
    // The same object is usable again.
    peer.enqueue(FakeHttpPeer::reply(200, "OK", "again"));
    request.open("GET", peer.url("/"), true);
    request.send();
    QVERIFY(completes(request));
    QCOMPARE(request.responseText(), QByteArray("again"));
}

void tst_XmlHttpRequest::readyStateIsThreeWhileTheAnswerArrives()
{
    FakeHttpPeer peer;
    QVERIFY(peer.listen());
    peer.enqueue(FakeHttpPeer::raw("HTTP/1.1 200 OK\r\nX-Part: first\r\nContent-Length: 11\r\n\r\nhello").stall());

    XmlHttpRequest request;
    QSignalSpy states(&request, &XmlHttpRequest::readyStateChanged);
    QSignalSpy grew(&request, &XmlHttpRequest::responseTextGrew);
    bool ok = true;
    request.answerStatus(&ok);
    QVERIFY(!ok);
    request.open("GET", peer.url("/big"), true);
    request.send();
    QTRY_COMPARE(request.readyState(), 3);
    QCOMPARE(request.getResponseHeader("X-Part"), QByteArray("first"));
    QCOMPARE(request.statusText(), QByteArray("OK"));
    QCOMPARE(request.answerStatus(&ok), 200);
    QVERIFY(ok);
    QTRY_COMPARE(request.responseText(), QByteArray("hello"));
    QVERIFY(!grew.isEmpty());
    QVERIFY(!states.contains(QVariantList{4}));
    QCOMPARE(request.responseText(), QByteArray("hello"));

    QVERIFY(peer.resumeStalled(FakeHttpPeer::raw(" world")));
    QVERIFY(completes(request));
    QCOMPARE(request.responseText(), QByteArray("hello world"));
    QCOMPARE(states.count(QVariantList{3}), 1);
    QCOMPARE(request.takeResponseText(), QByteArray("hello world"));
    QCOMPARE(request.responseText(), QByteArray());
    QCOMPARE(request.status(), 200);
}

// With a receive window the request holds no more of the body than that
// while the caller does not take it: it stops reading from the server, and
// goes on when the caller takes what it holds. Every byte arrives once.
void tst_XmlHttpRequest::receiveWindowHoldsBackTheAnswer()
{
    constexpr qint64 Window = 256 * 1024;
    QByteArray body(32 * 1024 * 1024, Qt::Uninitialized);
    for (qsizetype i = 0; i < body.size(); ++i)
        body[i] = char('a' + (i * 7 + i / 4096) % 26);
    FakeHttpPeer peer;
    QVERIFY(peer.listenInOwnThread());
    peer.setResponder([&body](const Request &) { return FakeHttpPeer::reply(200, "OK", body); });

    XmlHttpRequest request;
    QByteArray taken;
    qint64 mostHeld = 0;
    int takes = 0;
    // The caller takes only once the window is all but full, as a slow
    // consumer would: the request must wait for it in between.
    connect(&request, &XmlHttpRequest::responseTextGrew, this, [&] {
        const qint64 held = request.responseText().size();
        mostHeld = qMax(mostHeld, held);
        if (held >= Window - HttpTransfer::ReceiveBufferBytes) {
            taken += request.takeResponseText();
            ++takes;
        }
    });
    request.open("GET", peer.url("/big"), true);
    request.send();
    request.setReceiveWindow(Window);
    QVERIFY(completes(request, 60000));
    taken += request.takeResponseText();
    QCOMPARE(request.status(), 200);
    QCOMPARE(taken.size(), body.size());
    QVERIFY(taken == body);
    QVERIFY2(mostHeld <= Window, qPrintable(QString::number(mostHeld)));
    QVERIFY(takes >= body.size() / Window);

    // A refusal of the credentials is read whole, however large its page:
    // until the transfer ends it may still be a challenge libcurl answers,
    // so the caller is not shown it and could never take it.
    const QByteArray largePage(1024 * 1024, 'p');
    peer.setResponder([&body, &largePage](const Request &asked) {
        if (asked.header("Authorization") != basicFor("joe", "pw"))
            return FakeHttpPeer::basicChallenge("zorvane", largePage);
        return FakeHttpPeer::reply(200, "OK", body.left(1024 * 1024));
    });
    disconnect(&request, &XmlHttpRequest::responseTextGrew, this, nullptr);
    connect(&request, &XmlHttpRequest::responseTextGrew, this, [&] { taken += request.takeResponseText(); });
    for (const QString &password : {QStringLiteral("wrong"), QStringLiteral("pw")}) {
        taken.clear();
        request.open("GET", peer.url("/guarded"), true, QStringLiteral("joe"), password);
        request.send();
        request.setReceiveWindow(64 * 1024);
        QVERIFY(completes(request, 60000));
        taken += request.takeResponseText();
        QCOMPARE(request.status(), password == QLatin1String("pw") ? 200 : 401);
        QVERIFY(taken == (password == QLatin1String("pw") ? body.left(1024 * 1024) : largePage));
    }
}

// The body can be taken piece by piece while it arrives: every byte is
// handed over exactly once, and the size cap still counts them all.
void tst_XmlHttpRequest::bodyIsHandedOverPieceByPiece()
{
    FakeHttpPeer peer;
    QVERIFY(peer.listen());
    peer.enqueue(FakeHttpPeer::raw("HTTP/1.1 200 OK\r\nContent-Length: 11\r\n\r\nhello").stall());
    // No length announced: the cap can only be met as the bytes come.
    peer.enqueue(FakeHttpPeer::raw("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nhello").stall());

    XmlHttpRequest request;
    QByteArray taken;
    connect(&request, &XmlHttpRequest::responseTextGrew, this, [&] { taken += request.takeResponseText(); });
    request.open("GET", peer.url("/big"), true);
    request.send();
    QTRY_COMPARE(taken, QByteArray("hello"));
    QCOMPARE(request.responseText(), QByteArray());
    QVERIFY(peer.resumeStalled(FakeHttpPeer::raw(" world")));
    QVERIFY(completes(request));
    taken += request.takeResponseText();
    QCOMPARE(taken, QByteArray("hello world"));
    QCOMPARE(request.status(), 200);

    // Ten bytes allowed: what was handed over counts.
    taken.clear();
    request.setMaxResponseBytes(10);
    request.open("GET", peer.url("/big"), true);
    request.send();
    QTRY_COMPARE(taken, QByteArray("hello"));
    QVERIFY(peer.resumeStalled(FakeHttpPeer::raw(" world").close()));
    QVERIFY(completes(request));
    QCOMPARE(request.status(), 12004);
}

void tst_XmlHttpRequest::reopeningAbandonsTheRequestInFlight()
{
    FakeHttpPeer silent, answering;
    QVERIFY(silent.listen());
    QVERIFY(answering.listen());
    silent.enqueue(FakeHttpPeer::raw("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nold").stall());
    answering.enqueue(FakeHttpPeer::reply(200, "OK", "new"));

    XmlHttpRequest request;
    request.open("GET", silent.url("/"), true);
    request.send();
    QTRY_COMPARE(request.readyState(), 3);

    QSignalSpy states(&request, &XmlHttpRequest::readyStateChanged);
    request.open("GET", answering.url("/"), true);
    QCOMPARE(request.responseText(), QByteArray());
    request.send();
    QVERIFY(completes(request));
    QCOMPARE(request.responseText(), QByteArray("new"));
    QCOMPARE(states.count(QVariantList{4}), 1);
    // The abandoned transfer is stopped, not left running in the background.
    QTRY_COMPARE(silent.openConnectionCount(), 0);
}

void tst_XmlHttpRequest::callerMayAbortOrDeleteFromTheSignal()
{
    FakeHttpPeer peer;
    QVERIFY(peer.listen());
    peer.setResponder([](const Request &) {
        return FakeHttpPeer::raw("HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\nab").wait(20).send("cdef");
    });

    auto *aborting = new XmlHttpRequest;
    connect(aborting, &XmlHttpRequest::readyStateChanged, aborting, [aborting](int state) {
        if (state == 3)
            aborting->abort();
    });
    aborting->open("GET", peer.url("/"), true);
    aborting->send();
    QTRY_COMPARE(aborting->readyState(), 0);
    QCOMPARE(aborting->responseText(), QByteArray());
    delete aborting;

    auto *deleted = new XmlHttpRequest;
    QPointer<XmlHttpRequest> guard(deleted);
    connect(deleted, &XmlHttpRequest::readyStateChanged, deleted, [deleted](int state) {
        if (state == 3)
            delete deleted;
    });
    deleted->open("GET", peer.url("/"), true);
    deleted->send();
    QTRY_VERIFY(guard.isNull());

    // Opening anew from the completion signal starts a fresh request.
    XmlHttpRequest chained;
    int completions = 0;
    connect(&chained, &XmlHttpRequest::readyStateChanged, &chained, [&](int state) {
        if (state == 4 && ++completions == 1) {
            chained.open("GET", peer.url("/again"), true);
            chained.send();
        }
    });
    chained.open("GET", peer.url("/"), true);
    chained.send();
    QTRY_COMPARE(completions, 2);
    QCOMPARE(chained.responseText(), QByteArray("abcdef"));
}

void tst_XmlHttpRequest::wrongPasswordIs401ThenRightOneIsAccepted_data()
{
    QTest::addColumn<bool>("digest");
    QTest::newRow("basic") << false;
    QTest::newRow("digest") << true;
}

void tst_XmlHttpRequest::wrongPasswordIs401ThenRightOneIsAccepted()
{
    QFETCH(bool, digest);
    FakeHttpPeer peer;
    QVERIFY(peer.listen());
    peer.setResponder(digest ? digestGate("demo@zorvane.test", "demo") : basicGate("demo@zorvane.test", "demo"));

    XmlHttpRequest login;
    login.open("PROPFIND", peer.url("/mail/"), true, "demo@zorvane.test", "wrong");
    login.send();
    QVERIFY(completes(login));
    QCOMPARE(login.status(), 401);
    QCOMPARE(login.responseText(), QByteArray("<p>denied</p>"));
    QVERIFY(login.getResponseHeader("WWW-Authenticate").startsWith(digest ? "Digest" : "Basic"));
    QVERIFY(peer.requests().size() <= 3); // answered once, then given up

    login.open("PROPFIND", peer.url("/mail/"), true, "demo@zorvane.test", "demo");
    login.send();
    QVERIFY(completes(login));
    QCOMPARE(login.status(), 207);
    QCOMPARE(login.responseText(), QByteArray("welcome demo@zorvane.test"));
}

void tst_XmlHttpRequest::loginCredentialsAnswerLaterChallengesOfThatServiceOnly()
{
    FakeHttpPeer service, otherService;
    QVERIFY(service.listen());
    QVERIFY(otherService.listen());
    service.setResponder(digestGate("anna@zorvane.test", "s3cret"));
    otherService.setResponder(basicGate("anna@zorvane.test", "s3cret"));

    XmlHttpRequest request;
    request.open("PROPFIND", service.url("/mail/"), true, "anna@zorvane.test", "s3cret");
    request.send();
    QVERIFY(completes(request));
    QCOMPARE(request.status(), 207);

    for (const QByteArray verb : {"PROPFIND", "GET", "MOVE"}) {
        request.open(verb, service.url("/mail/inbox/"), true);
        request.send();
        QVERIFY(completes(request));
        QCOMPARE(request.status(), 207);
    }
    request.open("PROPFIND", otherService.url("/mail/"), true);
    request.send();
    QVERIFY(completes(request));
    QCOMPARE(request.status(), 401);
    for (const Request &seen : otherService.requests())
        QVERIFY(!seen.hasHeader("Authorization"));
}

void tst_XmlHttpRequest::failedLoginKeepsTheAcceptedCredentials()
{
    FakeHttpPeer service;
    QVERIFY(service.listen());
    service.setResponder(basicGate("bea@zorvane.test", "right"));

    XmlHttpRequest request;
    request.open("PROPFIND", service.url("/"), true, "bea@zorvane.test", "right");
    request.send();
    QVERIFY(completes(request));
    QCOMPARE(request.status(), 207);

    request.open("PROPFIND", service.url("/"), true, "bea@zorvane.test", "mistyped");
    request.send();
    QVERIFY(completes(request));
    QCOMPARE(request.status(), 401);

    request.open("GET", service.url("/mail/inbox/"), true);
    request.send();
    QVERIFY(completes(request));
    QCOMPARE(request.status(), 207);
    QCOMPARE(service.requests().last().header("Authorization"), basicFor("bea@zorvane.test", "right"));
}

void tst_XmlHttpRequest::loginUnderAnotherAccountNeverPresentsTheFirst()
{
    FakeHttpPeer service;
    QVERIFY(service.listen());
    service.setResponder([](const Request &request) {
        const QByteArray authorization = request.header("Authorization");
        if (authorization == basicFor("carl@zorvane.test", "one")
            || authorization == basicFor("dora@zorvane.test", "two"))
            return FakeHttpPeer::reply(207, "Multi-Status", QByteArray::fromBase64(authorization.mid(6)));
        return FakeHttpPeer::basicChallenge("zorvane");
    });

    XmlHttpRequest request;
    request.open("PROPFIND", service.url("/"), true, "carl@zorvane.test", "one");
    request.send();
    QVERIFY(completes(request));
    QCOMPARE(request.responseText(), QByteArray("carl@zorvane.test:one"));
    const qsizetype carlsRequests = service.requests().size();

    request.open("PROPFIND", service.url("/"), true, "dora@zorvane.test", "two");
    request.send();
    QVERIFY(completes(request));
    QCOMPARE(request.responseText(), QByteArray("dora@zorvane.test:two"));
    for (const Request &seen : service.requests().mid(carlsRequests))
        QVERIFY(!seen.header("Authorization").contains(QByteArray("carl@zorvane.test:one").toBase64()));

    // A wrong password for dora is refused even though dora just logged in.
    request.open("PROPFIND", service.url("/"), true, "dora@zorvane.test", "guess");
    request.send();
    QVERIFY(completes(request));
    QCOMPARE(request.status(), 401);

    // Another request in flight changes nothing: each request presents its
    // own account's credentials and no other, and the one in flight goes on.
    FakeHttpPeer slow;
    QVERIFY(slow.listen());
    slow.enqueue(FakeHttpPeer::raw("HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nsl").stall());
    XmlHttpRequest pending;
    pending.open("GET", slow.url("/"), true);
    pending.send();
    QTRY_COMPARE(pending.readyState(), 3);
    const qsizetype dorasRequests = service.requests().size();
    request.open("PROPFIND", service.url("/"), true, "carl@zorvane.test", "one");
    request.send();
    QVERIFY(completes(request));
    QCOMPARE(request.responseText(), QByteArray("carl@zorvane.test:one"));
    for (const Request &seen : service.requests().mid(dorasRequests)) {
        const QByteArray presented = seen.header("Authorization");
        QVERIFY(presented.isEmpty() || presented == basicFor("carl@zorvane.test", "one"));
    }
    QVERIFY(slow.resumeStalled(FakeHttpPeer::raw("ow")));
    QVERIFY(completes(pending));
    QCOMPARE(pending.responseText(), QByteArray("slow"));
}

void tst_XmlHttpRequest::laterRequestsOfAnAccountNeedNoChallenge_data()
{
    QTest::addColumn<bool>("digest");
    QTest::newRow("basic") << false;
    QTest::newRow("digest") << true;
}

// Only an account's first request pays a challenge: later ones, awaited or
// blocking, carry their answer at once.
void tst_XmlHttpRequest::laterRequestsOfAnAccountNeedNoChallenge()
{
    QFETCH(bool, digest);
    FakeHttpPeer service;
    QVERIFY(service.listenInOwnThread());
    service.setResponder(digest ? digestGate("fay@zorvane.test", "pw") : basicGate("fay@zorvane.test", "pw"));

    XmlHttpRequest request;
    for (const QByteArray verb : {"PROPFIND", "GET", "PROPFIND", "MOVE"}) {
        request.open(verb, service.url("/mail/inbox/"), true, "fay@zorvane.test", "pw");
        request.send();
        QVERIFY(completes(request));
        QCOMPARE(request.status(), 207);
    }
    request.open("POST", service.url("/mail/sendmsg"), false, "fay@zorvane.test", "pw");
    request.send("MAIL FROM:<fay@zorvane.test>\r\n\r\nbody");
    QCOMPARE(request.status(), 207);

    const QList<Request> seen = service.requests();
    QCOMPARE(seen.size(), 6);
    QVERIFY(!seen.first().hasHeader("Authorization"));
    for (const Request &later : seen.mid(1))
        QVERIFY(later.header("Authorization").startsWith(digest ? "Digest " : "Basic "));
}

// Digest state kept from an earlier request that the service no longer
// knows (it restarted, and does not call the old nonce stale) gets one fresh
// challenge; a wrong password is still refused.
void tst_XmlHttpRequest::forgottenNonceGetsOneFreshChallenge()
{
    FakeHttpPeer service;
    QVERIFY(service.listen());
    auto nonce = std::make_shared<QByteArray>("first-run");
    service.setResponder(digestGate("gil@zorvane.test", "pw", nonce));

    XmlHttpRequest request;
    request.open("PROPFIND", service.url("/mail/"), true, "gil@zorvane.test", "pw");
    request.send();
    QVERIFY(completes(request));
    QCOMPARE(request.status(), 207);
    QCOMPARE(service.requests().size(), 2);

    *nonce = "second-run";
    request.open("GET", service.url("/mail/inbox/1.eml"), true, "gil@zorvane.test", "pw");
    request.send();
    QVERIFY(completes(request));
    QCOMPARE(request.status(), 207);
    QCOMPARE(service.requests().size(), 5); // refused, challenged, answered

    request.open("GET", service.url("/mail/inbox/1.eml"), true, "gil@zorvane.test", "guess");
    request.send();
    QVERIFY(completes(request));
    QCOMPARE(request.status(), 401);
}

void tst_XmlHttpRequest::synchronousSendRunsNoEventsOfTheCaller()
{
    FakeHttpPeer peer; // answers from its own thread: this one will be blocked
    QVERIFY(peer.listenInOwnThread());
    peer.enqueue(FakeHttpPeer::raw("HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nsome").wait(100).send(" body"));

    // A timer that is due and socket data that has arrived, both waiting for
    // this thread's event loop.
    bool timerFired = false;
    QTimer::singleShot(0, this, [&timerFired] { timerFired = true; });
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, server.serverPort());
    QVERIFY(server.waitForNewConnection(5000));
    QTcpSocket *accepted = server.nextPendingConnection();
    bool dataDelivered = false;
    connect(accepted, &QTcpSocket::readyRead, this, [&dataDelivered] { dataDelivered = true; });
    QVERIFY(client.waitForConnected(5000));
    client.write("ping");
    QVERIFY(client.waitForBytesWritten(5000));

    XmlHttpRequest request;
    QSignalSpy states(&request, &XmlHttpRequest::readyStateChanged);
    request.open("POST", peer.url("/send"), false);
    request.send("message");
    QCOMPARE(request.readyState(), 4);
    QCOMPARE(request.status(), 200);
    QCOMPARE(request.responseText(), QByteArray("some body"));
    QCOMPARE(states.last().first().toInt(), 4);
    QVERIFY(!timerFired);
    QVERIFY(!dataDelivered);
    QCOMPARE(peer.requests().first().body, QByteArray("message"));

    QTRY_VERIFY(timerFired);
    QTRY_VERIFY(dataDelivered);
}

// A submission of many megabytes must not stay in memory until the next
// request: once answered, the request object holds nothing of the body it
// sent, in either mode.
void tst_XmlHttpRequest::sentBodyIsNotKeptOnceAnswered()
{
    FakeHttpPeer peer;
    QVERIFY(peer.listenInOwnThread());
    XmlHttpRequest request;
    for (const bool async : {false, true}) {
        peer.enqueue(FakeHttpPeer::reply(201, "Created"));
        QByteArray body(256 * 1024, 'x');
        request.open("POST", peer.url("/send"), async);
        request.send(body);
        QVERIFY(completes(request));
        QCOMPARE(request.status(), 201);
        QCOMPARE(peer.requests().last().body.size(), body.size());
        // Helpers of the component let go of their copies as they clean up.
        QTRY_VERIFY(body.isDetached());
    }
}

void tst_XmlHttpRequest::synchronousSendUsesTheLoginCredentials()
{
    FakeHttpPeer service;
    QVERIFY(service.listenInOwnThread());
    service.setResponder(digestGate("emil@zorvane.test", "pw"));

    XmlHttpRequest login;
    login.open("PROPFIND", service.url("/mail/"), true, "emil@zorvane.test", "pw");
    login.send();
    QVERIFY(completes(login));
    QCOMPARE(login.status(), 207);

    XmlHttpRequest submission;
    submission.open("POST", service.url("/mail/sendmsg"), false);
    submission.setRequestHeader("Content-Type", "message/rfc822");
    submission.send("MAIL FROM:<emil@zorvane.test>\r\n\r\nbody");
    QCOMPARE(submission.status(), 207);
    QVERIFY(service.requests().last().header("Authorization").contains("username=\"emil@zorvane.test\""));
}

void tst_XmlHttpRequest::synchronousSendReportsFailuresAsCodes()
{
    XmlHttpRequest request;
    request.open("POST", QStringLiteral("http://127.0.0.1:%1/").arg(portWhereNothingListens()), false);
    request.send("x");
    QCOMPARE(request.readyState(), 4);
    QCOMPARE(request.status(), 12029);

    FakeHttpPeer silent;
    QVERIFY(silent.listenInOwnThread());
    silent.enqueue(FakeHttpPeer::silence());
    request.setTimeout(200);
    request.open("POST", silent.url("/"), false);
    request.send("x");
    QCOMPARE(request.status(), 12002);

    request.open("POST", QStringLiteral("gopher://127.0.0.1/"), false);
    request.send("x");
    QCOMPARE(request.status(), 12006);
}

// The total limit bounds a request whose answer keeps coming, too slowly to
// ever end, where no inactivity limit would.
void tst_XmlHttpRequest::totalLimitEndsEvenATricklingAnswer()
{
    FakeHttpPeer trickling;
    QVERIFY(trickling.listenInOwnThread());
    FakeHttpPeer::Answer answer = FakeHttpPeer::raw("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n");
    for (int i = 0; i < 1000; ++i)
        answer.wait(50).send("x");
    trickling.enqueue(answer);

    XmlHttpRequest request;
    request.setTotalTimeout(400);
    request.open("POST", trickling.url("/send"), false);
    request.send("message");
    QCOMPARE(request.readyState(), 4);
    QCOMPARE(request.status(), 12002);
    QCOMPARE(request.responseText(), QByteArray());
}

QTEST_GUILESS_MAIN(tst_XmlHttpRequest)
#include "tst_XmlHttpRequest.moc"
