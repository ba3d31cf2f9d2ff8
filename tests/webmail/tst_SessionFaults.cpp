// The session against a scripted HTTP peer: the exact requests it sends, and
// every failure text it builds when the service refuses, stalls, drops the
// connection or answers something that is no listing.

#include "FakeHttpPeer.h"
#include "MessageTextReplies.h"
#include "StoredRequestTexts.h"
#include "StoredTexts.h"
#include "WebmailTestEnvironment.h"
#include "XmlHttpRequest.h"

#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTest>

namespace {

// The session's logins here are those of a POP3 dialogue.
constexpr clsHotmail::FrontEnd ForPop3 = clsHotmail::FrontEnd::Pop3;

// The completion wait counts polls exactly as always; only their length
// shrinks, so that 301 and 901 polls pass quickly.
constexpr int FastPollMs = 1;
constexpr int PollsWhileNothingAnswers = 301;
// A poll before the answer begins costs 3 units, one after it 1 unit; the
// wait gives up on the poll that takes the count past 900. A stalled answer
// ends on a 1-unit poll, so its polls and the 2 extra units of each early
// poll add up to exactly 901.
constexpr int UnitsWhenStalledAnswerGivenUp = 901;

const FakeHttpPeer::Headers XmlType{{"Content-Type", "application/xml; charset=utf-8"}};

struct ListedMessage
{
    QByteArray name;
    qint64 size;
    bool read;
};

QByteArray Multistatus(const QByteArray &responses)
{
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
           "<D:multistatus xmlns:D=\"DAV:\" xmlns:m=\"urn:zorvane:mail\">"
        + responses + "</D:multistatus>";
}

QByteArray Response(const QByteArray &href, const QByteArray &props)
{
    return "<D:response><D:href>" + href + "</D:href><D:propstat><D:prop>" + props
        + "</D:prop><D:status>HTTP/1.1 200 OK</D:status></D:propstat></D:response>";
}

FakeHttpPeer::Answer MultistatusAnswer(const QByteArray &responses)
{
    return FakeHttpPeer::reply(207, "Multi-Status", Multistatus(responses), XmlType);
}

FakeHttpPeer::Answer HtmlPage(int status, const QByteArray &reason)
{
    return FakeHttpPeer::reply(status, reason, "<html><body><p>Sorry</p>", {{"Content-Type", "text/html"}});
}

QByteArray BasicUser(const FakeHttpPeer::Request &request)
{
    const QByteArray authorization = request.header("Authorization");
    if (!authorization.startsWith("Basic "))
        return QByteArray();
    return QByteArray::fromBase64(authorization.mid(6));
}

} // namespace

class tst_SessionFaults : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void creationFromStoredTextsAndSettings();
    void probeAnswers_data();
    void probeAnswers();
    void probeOfAlternativeAccount();
    void probeNeverAnswered();
    void refusedConnection();

    void loginAccountKinds_data();
    void loginAccountKinds();
    void loginFollowsRedirect_data();
    void loginFollowsRedirect();
    void loginRedirectsAreBounded();
    void loginRefusedFourTimes();
    void loginOtherStatuses_data();
    void loginOtherStatuses();
    void loginNeverAnswered();
    void answersCutShortAreConnectionFailures();

    void storeLoad_data();
    void storeLoad();
    void emptyInboxNeedsOneRequest();
    void storeLoadRefusals_data();
    void storeLoadRefusals();
    void storeLoadGivesUp_data();
    void storeLoadGivesUp();
    void storeLoadWithoutMailbox();

    void retrieveExactBytes();
    void retrieveRefusals();
    void retrieveFailures_data();
    void retrieveFailures();
    void retrieveFromDeadAddress();
    void topChoosesDownloadOrProperties_data();
    void topChoosesDownloadOrProperties();
    void topFailures();

    void updateRequests();
    void refusedMarkIsAFailure();
    void updatePassesRestart();
    void popCollect();

    void sendAnswers_data();
    void sendAnswers();
    void sendPostsAgainAfterComponentFailure();
    void sendWithoutUsableAddress();

    void readAheadOfNextMessage_data();
    void readAheadOfNextMessage();
    void readAheadThatFailsIsNotSeen_data();
    void readAheadThatFailsIsNotSeen();
    void readAheadDroppedOrKept_data();
    void readAheadDroppedOrKept();
    void readAheadPresentsPop3Account();

    void responseLogOnlyInDebugMode();
    void busyDuringOperationsIdleAfter();
    void asyncDownloadKeepsSessionBusy();

private:
    clsHotmail &session() { return *m_env->session; }
    QString PeerUrl(const QByteArray &path) const { return m_peer->url(QString::fromUtf8(path)); }
    QByteArray InboxUrl() const { return PeerUrl("/mail/joe/inbox/").toUtf8(); }
    XmlDocument Mailbox(const QString &sendUrl = QString()) const;
    FakeHttpPeer::Answer CollectionAnswer(int total, int unread) const;
    FakeHttpPeer::Answer FolderAnswer(const QList<ListedMessage> &messages,
                                      const QByteArray &base = QByteArray()) const;
    // Loads a store of three messages (a1 read, b2 and c3 unread) with all
    // of them listed, and returns how many requests the peer had seen.
    int LoadThree(qint64 size1 = 100, qint64 size2 = 200, qint64 size3 = 300);
    QList<FakeHttpPeer::Request> RequestsSince(int index) const { return m_peer->requests().mid(index); }
    // Logs the POP3 dialogue in as joe, with the service asking for Basic
    // credentials, then loads the three messages; false when the login failed.
    bool LoginJoeAndLoadThree(qint64 size1, qint64 size2, qint64 size3);
    // The GETs the peer received for a message, by its name.
    int GetsOf(const QByteArray &name) const;

    std::unique_ptr<WebmailTestEnvironment> m_env;
    std::unique_ptr<FakeHttpPeer> m_peer;
};

XmlDocument tst_SessionFaults::Mailbox(const QString &sendUrl) const
{
    const QByteArray home = PeerUrl("/mail/joe/").toUtf8();
    const QByteArray send = sendUrl.isEmpty() ? home + "sendmsg" : sendUrl.toUtf8();
    XmlDocument document;
    document.loadXML(Multistatus(Response(home,
                                          "<m:inbox>" + home
                                              + "inbox/</m:inbox>"
                                                "<m:deleteditems>"
                                              + home
                                              + "deleteditems/</m:deleteditems>"
                                                "<m:sendmsg>"
                                              + send
                                              + "</m:sendmsg>"
                                                "<m:collect>"
                                              + home + "collect</m:collect>")));
    return document;
}

FakeHttpPeer::Answer tst_SessionFaults::CollectionAnswer(int total, int unread) const
{
    const QByteArray home = PeerUrl("/mail/joe/").toUtf8();
    return MultistatusAnswer(Response(home, "<m:inbox>" + home + "inbox/</m:inbox>")
                             + Response(home + "inbox/",
                                        "<m:totalcount>" + QByteArray::number(total) + "</m:totalcount><m:unreadcount>"
                                            + QByteArray::number(unread) + "</m:unreadcount>")
                             + Response(home + "deleteditems/",
                                        "<m:totalcount>9</m:totalcount>"
                                        "<m:unreadcount>9</m:unreadcount>"));
}

FakeHttpPeer::Answer tst_SessionFaults::FolderAnswer(const QList<ListedMessage> &messages, const QByteArray &base) const
{
    const QByteArray folder = base.isEmpty() ? InboxUrl() : base;
    QByteArray responses = Response(InboxUrl(), "<m:totalcount>3</m:totalcount>");
    for (const ListedMessage &m : messages)
        responses += Response(folder + m.name,
                              "<D:getcontentlength>" + QByteArray::number(m.size) + "</D:getcontentlength><m:read>"
                                  + (m.read ? "1" : "0") + "</m:read>");
    return MultistatusAnswer(responses);
}

int tst_SessionFaults::LoadThree(qint64 size1, qint64 size2, qint64 size3)
{
    m_peer->enqueue(CollectionAnswer(3, 2));
    m_peer->enqueue(FolderAnswer({{"a1", size1, true}, {"b2", size2, false}, {"c3", size3, false}}));
    const QByteArray reply = session().GetMsgStoreProps(Mailbox(), true);
    if (reply != "+OK store loaded")
        qWarning("store load failed: %s", reply.constData());
    return int(m_peer->requests().size());
}

bool tst_SessionFaults::LoginJoeAndLoadThree(qint64 size1, qint64 size2, qint64 size3)
{
    m_peer->enqueue(FakeHttpPeer::basicChallenge("zorvane.test"));
    m_peer->enqueue(FakeHttpPeer::reply(207, "Multi-Status", Mailbox().xml(), XmlType));
    XmlDocument mailbox;
    if (session().Login(QStringLiteral("joe@zorvane.test"), QStringLiteral("s3cret"), mailbox, ForPop3) != 207)
        return false;
    LoadThree(size1, size2, size3);
    return session().MessageCount() == 3;
}

int tst_SessionFaults::GetsOf(const QByteArray &name) const
{
    int gets = 0;
    for (const FakeHttpPeer::Request &r : m_peer->requests())
        gets += r.verb == "GET" && r.path() == "/mail/joe/inbox/" + name;
    return gets;
}

void tst_SessionFaults::init()
{
    m_env = std::make_unique<WebmailTestEnvironment>();
    m_peer = std::make_unique<FakeHttpPeer>();
    QVERIFY(m_peer->listen());
    m_env->StartSession(m_peer->url(QStringLiteral("/dav/")), m_peer->url(QStringLiteral("/alt")));
    session().setPollIntervalMs(FastPollMs);
}

void tst_SessionFaults::cleanup()
{
    m_env->session.reset();
    m_peer.reset();
    m_env.reset();
}

// ---------------------------------------------------------------------------
// Creation

void tst_SessionFaults::creationFromStoredTextsAndSettings()
{
    QVERIFY(StoredRequestTexts::Load(nullptr).MissingEntries.isEmpty());
    QVERIFY(session().HasRequestObject());
    QCOMPARE(session().MailDomain(), QString::fromUtf8(LoadStoredText(1044)));
    QVERIFY(!session().IsBusy());

    // Preferences replace the stored mail domain when the key is there.
    m_env->settings->setValue(QStringLiteral("Preferences"), QStringLiteral("MailDomain"),
                              QStringLiteral("example.net"));
    clsHotmail other(*m_env->state);
    QCOMPARE(other.MailDomain(), QStringLiteral("example.net"));
}

// ---------------------------------------------------------------------------
// Probe and logoff

void tst_SessionFaults::probeAnswers_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("extraHeader");
    QTest::addColumn<QByteArray>("result");
    QTest::addColumn<int>("requests");
    QTest::newRow("207 reachable") << 207 << QByteArray() << QByteArray() << 1;
    QTest::newRow("900 with probe header") << 900 << QByteArray("X-Zorvane-Probe") << QByteArray() << 1;
    QTest::newRow("900 without probe header")
        << 900 << QByteArray("X-Other") << QByteArray("900-No connection to Hotmail server.\r\n") << 1;
    QTest::newRow("503 three times") << 503 << QByteArray()
                                     << QByteArray("Communication error: 10503, 503 - Hotmail service unavailable.\r\n")
                                     << 3;
    QTest::newRow("403 three times")
        << 403 << QByteArray()
        << QByteArray("Communication error: 10403, 403 - Command blocked by firewall or proxy server.\r\n") << 3;
    QTest::newRow("200 is not reachable either")
        << 200 << QByteArray() << QByteArray("Communication error: 10200, 200 - Error details not available.\r\n") << 3;
}

void tst_SessionFaults::probeAnswers()
{
    QFETCH(int, status);
    QFETCH(QByteArray, extraHeader);
    QFETCH(int, requests);
    FakeHttpPeer::Headers headers = XmlType;
    if (!extraHeader.isEmpty())
        headers.append({extraHeader, "alive"});
    for (int i = 0; i < 4; ++i)
        m_peer->enqueue(FakeHttpPeer::reply(status, "Whatever", Multistatus(QByteArray()), headers));

    QTEST(session().ConnStatus(QStringLiteral("joe@zorvane.test")), "result");

    const QList<FakeHttpPeer::Request> sent = m_peer->requests();
    QCOMPARE(sent.size(), requests);
    for (const FakeHttpPeer::Request &r : sent) {
        QCOMPARE(r.verb, QByteArray("PROPFIND"));
        QCOMPARE(r.target, QByteArray("/dav/?cmd=logoff"));
        QCOMPARE(r.header("X-Zorvane-Client"), QByteArray("Zorvane"));
        QVERIFY(!r.hasHeader("Depth"));
        QVERIFY(r.body.isEmpty());
    }
}

void tst_SessionFaults::probeOfAlternativeAccount()
{
    m_peer->enqueue(MultistatusAnswer(QByteArray()));
    QCOMPARE(session().ConnStatus(QStringLiteral("bob@ALT.zorvane.test")), QByteArray());
    m_peer->enqueue(MultistatusAnswer(QByteArray()));
    QCOMPARE(session().Logoff(QStringLiteral("bob@alt.zorvane.test")), 207);
    QCOMPARE(m_peer->requests().size(), 2);
    QCOMPARE(m_peer->requests().at(0).target, QByteArray("/alt?cmd=logoff"));
    QCOMPARE(m_peer->requests().at(1).target, QByteArray("/alt?cmd=logoff"));
}

void tst_SessionFaults::probeNeverAnswered()
{
    for (int i = 0; i < 3; ++i)
        m_peer->enqueue(FakeHttpPeer::silence());
    QCOMPARE(session().ConnStatus(QStringLiteral("joe@zorvane.test")),
             QByteArray("Communication error: 10000, 0 - Error details not available.\r\n"));
    QCOMPARE(session().LastWaitPolls(), PollsWhileNothingAnswers);
    QCOMPARE(session().LastWaitPollsBeforeAnswer(), PollsWhileNothingAnswers);
    QCOMPARE(m_peer->requests().size(), 3);
    QVERIFY(m_peer->scriptConsumed());
}

void tst_SessionFaults::refusedConnection()
{
    const QString dead = QStringLiteral("http://127.0.0.1:%1").arg(WebmailTestEnvironment::DeadPort());
    m_env->StartSession(dead + QStringLiteral("/dav/"), dead + QStringLiteral("/alt"));
    session().setPollIntervalMs(FastPollMs);

    QCOMPARE(session().ConnStatus(QStringLiteral("joe@zorvane.test")),
             QByteArray("Communication error: 22029, 12029 - The attempt to connect to the server failed.\r\n"));
    QCOMPARE(session().Logoff(QStringLiteral("joe@zorvane.test")), 12029);
    XmlDocument mailbox;
    QCOMPARE(session().Login(QStringLiteral("joe@zorvane.test"), QStringLiteral("pw"), mailbox, ForPop3), 12029);
    QVERIFY(mailbox.isEmpty());
}

// ---------------------------------------------------------------------------
// Login

void tst_SessionFaults::loginAccountKinds_data()
{
    QTest::addColumn<QString>("userName");
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<QByteArray>("credentials");
    QTest::newRow("ordinary: local part at the entry address")
        << QStringLiteral("Joe@zorvane.test") << QByteArray("/dav/") << QByteArray("Joe:s3cret");
    QTest::newRow("ordinary without domain")
        << QStringLiteral("joe") << QByteArray("/dav/") << QByteArray("joe:s3cret");
    QTest::newRow("alternative: full name below the alternative address")
        << QStringLiteral("bob@Alt.zorvane.test") << QByteArray("/alt/bob@Alt.zorvane.test")
        << QByteArray("bob@Alt.zorvane.test:s3cret");
}

void tst_SessionFaults::loginAccountKinds()
{
    QFETCH(QString, userName);
    m_peer->enqueue(FakeHttpPeer::basicChallenge("zorvane.test"));
    m_peer->enqueue(FakeHttpPeer::reply(207, "Multi-Status", Mailbox().xml(), XmlType));

    XmlDocument mailbox;
    QCOMPARE(session().Login(userName, QStringLiteral("s3cret"), mailbox, ForPop3), 207);
    QVERIFY(mailbox.xml().contains("/mail/joe/inbox/"));

    const QList<FakeHttpPeer::Request> sent = m_peer->requests();
    QCOMPARE(sent.size(), 2);
    for (const FakeHttpPeer::Request &r : sent) {
        QCOMPARE(r.verb, QByteArray("PROPFIND"));
        QTEST(r.target, "target");
        QCOMPARE(r.header("X-Zorvane-Client"), QByteArray("Zorvane"));
        QCOMPARE(r.header("Depth"), QByteArray("1"));
    }
    QTEST(BasicUser(sent.at(1)), "credentials");
}

void tst_SessionFaults::loginFollowsRedirect_data()
{
    QTest::addColumn<bool>("absolute");
    QTest::newRow("absolute Location") << true;
    QTest::newRow("relative Location") << false;
}

void tst_SessionFaults::loginFollowsRedirect()
{
    QFETCH(bool, absolute);
    const QByteArray location = absolute ? PeerUrl("/mail/joe/").toUtf8() : QByteArray("/mail/joe/");
    m_peer->enqueue(
        FakeHttpPeer::raw("HTTP/1.1 900 Unknown\r\nLocation: " + location + "\r\nContent-Length: 0\r\n\r\n"));
    m_peer->enqueue(FakeHttpPeer::reply(207, "Multi-Status", Mailbox().xml(), XmlType));

    XmlDocument mailbox;
    QCOMPARE(session().Login(QStringLiteral("joe@zorvane.test"), QStringLiteral("pw"), mailbox, ForPop3), 207);
    QVERIFY(!mailbox.isEmpty());
    const QList<FakeHttpPeer::Request> sent = m_peer->requests();
    QCOMPARE(sent.size(), 2);
    QCOMPARE(sent.at(1).verb, QByteArray("PROPFIND"));
    QCOMPARE(sent.at(1).target, QByteArray("/mail/joe/"));
    QCOMPARE(sent.at(1).header("Depth"), QByteArray("1"));
    QCOMPARE(sent.at(1).header("X-Zorvane-Client"), QByteArray("Zorvane"));
}

void tst_SessionFaults::loginRedirectsAreBounded()
{
    const QByteArray again =
        "HTTP/1.1 900 Unknown\r\nLocation: " + PeerUrl("/dav/").toUtf8() + "\r\nContent-Length: 0\r\n\r\n";
    m_peer->setResponder([again](const FakeHttpPeer::Request &) { return FakeHttpPeer::raw(again); });
    XmlDocument mailbox;
    QCOMPARE(session().Login(QStringLiteral("joe@zorvane.test"), QStringLiteral("pw"), mailbox, ForPop3), 900);
    QCOMPARE(m_peer->requests().size(), 11); // the first request and ten redirections
}

void tst_SessionFaults::loginRefusedFourTimes()
{
    for (int i = 0; i < 5; ++i)
        m_peer->enqueue(FakeHttpPeer::reply(401, "Unauthorized", "no"));
    XmlDocument mailbox;
    QCOMPARE(session().Login(QStringLiteral("joe@zorvane.test"), QStringLiteral("wrong"), mailbox, ForPop3), 401);
    QCOMPARE(m_peer->requests().size(), 4);
    QVERIFY(!m_peer->scriptConsumed());
}

void tst_SessionFaults::loginOtherStatuses_data()
{
    QTest::addColumn<int>("status");
    QTest::newRow("403 proxy without WebDAV") << 403;
    QTest::newRow("503 unavailable") << 503;
    QTest::newRow("200 plain") << 200;
}

void tst_SessionFaults::loginOtherStatuses()
{
    QFETCH(int, status);
    m_peer->enqueue(HtmlPage(status, "Reason"));
    XmlDocument mailbox = Mailbox();
    QCOMPARE(session().Login(QStringLiteral("joe@zorvane.test"), QStringLiteral("pw"), mailbox, ForPop3), status);
    // The document is taken from the answer, whatever it is.
    QVERIFY(mailbox.isEmpty());
    QCOMPARE(m_peer->requests().size(), 1);
}

void tst_SessionFaults::answersCutShortAreConnectionFailures()
{
    // The connection ends before the announced length: whatever the status
    // line said, nothing is taken from half an answer. The HTTP layer may
    // send such a request again by itself, even after the session has moved
    // on, so the peer answers by address instead of by a counted script.
    const auto cutShort = [](int status, const QByteArray &start) {
        return FakeHttpPeer::raw("HTTP/1.1 " + QByteArray::number(status) + " Whatever\r\nContent-Length: 900\r\n\r\n"
                                 + start)
            .close();
    };
    const FakeHttpPeer::Answer collection = CollectionAnswer(3, 2);
    const FakeHttpPeer::Answer folder = FolderAnswer({{"a1", 100, true}, {"b2", 200, false}, {"c3", 300, false}});
    bool folderCutShort = false;
    m_peer->setResponder([&](const FakeHttpPeer::Request &request) {
        if (request.path() == "/mail/joe/")
            return collection;
        if (request.path() == "/mail/joe/inbox/")
            return folderCutShort ? cutShort(207, "<?xml version=\"1.0\"?>") : folder;
        return cutShort(request.verb == "GET" ? 200 : 207, "<?xml version=\"1.0\"?><D:multistatus xmlns:D=\"DAV:\">");
    });

    XmlDocument mailbox = Mailbox();
    QCOMPARE(session().Login(QStringLiteral("joe@zorvane.test"), QStringLiteral("pw"), mailbox, ForPop3), 12030);
    QCOMPARE(session().ConnStatus(QStringLiteral("joe@zorvane.test")),
             QByteArray("Communication error: 22030, 12030 - The connection with the server has been terminated.\r\n"));

    QCOMPARE(session().GetMsgStoreProps(Mailbox(), true), QByteArray("+OK store loaded"));
    QCOMPARE(session().Retrieve(1),
             QByteArray("-ERR Retrieval failed: 12030, 12030 - The connection with the server has been terminated."));

    folderCutShort = true;
    QCOMPARE(
        session().GetMsgStoreProps(Mailbox(), true),
        QByteArray("-ERR communication error: 12030, 12030 - The connection with the server has been terminated."));
    QCOMPARE(session().Stat(), QByteArray("+OK 3 600"));
}

void tst_SessionFaults::loginNeverAnswered()
{
    m_peer->enqueue(FakeHttpPeer::silence());
    XmlDocument mailbox = Mailbox();
    const QByteArray before = mailbox.xml();
    QCOMPARE(session().Login(QStringLiteral("joe@zorvane.test"), QStringLiteral("pw"), mailbox, ForPop3),
             XmlHttpRequest::ErrorNotComplete);
    QCOMPARE(session().LastWaitPolls(), PollsWhileNothingAnswers);
    QCOMPARE(mailbox.xml(), before);
}

// ---------------------------------------------------------------------------
// Store load

void tst_SessionFaults::storeLoad_data()
{
    QTest::addColumn<bool>("listAll");
    QTest::addColumn<QByteArray>("stat");
    QTest::addColumn<QByteArray>("uidl");
    QTest::newRow("unread only") << false << QByteArray("+OK 2 500") << QByteArray("+OK 2 500\r\n1 b2\r\n2 c3\r\n.");
    QTest::newRow("all") << true << QByteArray("+OK 3 600") << QByteArray("+OK 3 600\r\n1 a1\r\n2 b2\r\n3 c3\r\n.");
}

void tst_SessionFaults::storeLoad()
{
    QFETCH(bool, listAll);
    m_peer->enqueue(CollectionAnswer(3, 2));
    m_peer->enqueue(FolderAnswer({{"a1", 100, true}, {"b2", 200, false}, {"c3", 300, false}}));
    QCOMPARE(session().GetMsgStoreProps(Mailbox(), listAll), QByteArray("+OK store loaded"));
    QTEST(session().Stat(), "stat");
    QTEST(session().ListNames(), "uidl");
    QCOMPARE(session().InboxUrl(), InboxUrl());
    QCOMPARE(session().DeletedItemsUrl(), PeerUrl("/mail/joe/deleteditems/").toUtf8());

    const QList<FakeHttpPeer::Request> sent = m_peer->requests();
    QCOMPARE(sent.size(), 2);
    QCOMPARE(sent.at(0).target, QByteArray("/mail/joe/"));
    QCOMPARE(sent.at(1).target, QByteArray("/mail/joe/inbox/"));
    for (const FakeHttpPeer::Request &r : sent) {
        QCOMPARE(r.verb, QByteArray("PROPFIND"));
        QCOMPARE(r.header("Depth"), QByteArray("1"));
        QCOMPARE(r.header("X-Zorvane-Client"), QByteArray("Zorvane"));
        QCOMPARE(r.body, LoadStoredText(1005));
    }
}

void tst_SessionFaults::emptyInboxNeedsOneRequest()
{
    m_peer->enqueue(CollectionAnswer(4, 0));
    QCOMPARE(session().GetMsgStoreProps(Mailbox()), QByteArray("+OK store loaded"));
    QCOMPARE(m_peer->requests().size(), 1);
    QCOMPARE(session().Stat(), QByteArray("+OK 0 0"));
    QCOMPARE(session().List(), QByteArray("+OK 0 0\r\n."));
    QCOMPARE(session().HighestMessageNumber(), 0);
}

void tst_SessionFaults::storeLoadRefusals_data()
{
    QTest::addColumn<int>("case_");
    QTest::addColumn<int>("requests");
    QTest::newRow("collection answer is a page") << 0 << 1;
    QTest::newRow("collection answer is 503") << 1 << 1;
    QTest::newRow("folder answer is a page") << 2 << 2;
    QTest::newRow("count but no address") << 3 << 2;
    QTest::newRow("address and size lists differ") << 4 << 2;
}

void tst_SessionFaults::storeLoadRefusals()
{
    QFETCH(int, case_);
    QFETCH(int, requests);
    const int before = LoadThree();
    QCOMPARE(session().Stat(), QByteArray("+OK 3 600"));

    switch (case_) {
    case 0:
        m_peer->enqueue(HtmlPage(200, "OK"));
        break;
    case 1:
        m_peer->enqueue(HtmlPage(503, "Service Unavailable"));
        break;
    case 2:
        m_peer->enqueue(CollectionAnswer(3, 3));
        m_peer->enqueue(HtmlPage(200, "OK"));
        break;
    case 3:
        m_peer->enqueue(CollectionAnswer(3, 3));
        m_peer->enqueue(FolderAnswer({}));
        break;
    case 4:
        m_peer->enqueue(CollectionAnswer(3, 3));
        m_peer->enqueue(FolderAnswer({{"x*y", 10, false}}));
        break;
    }
    QCOMPARE(session().GetMsgStoreProps(Mailbox(), true), QByteArray("-ERR could not lock store"));
    QCOMPARE(RequestsSince(before).size(), requests);
    // The store that was there stays whole.
    QCOMPARE(session().Stat(), QByteArray("+OK 3 600"));
    QCOMPARE(session().ListNames(3), QByteArray("+OK 3 c3"));
}

void tst_SessionFaults::storeLoadGivesUp_data()
{
    QTest::addColumn<bool>("silent");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("requests");
    QTest::newRow("never answered") << true
                                    << QByteArray("-ERR communication error: 1000, 0 - Error details not available.")
                                    << 3;
    QTest::newRow("size that is no number")
        << false << QByteArray("-ERR communication error: 13, 207 - Error details not available.") << 6;
}

void tst_SessionFaults::storeLoadGivesUp()
{
    QFETCH(bool, silent);
    for (int i = 0; i < 3; ++i) {
        if (silent) {
            m_peer->enqueue(FakeHttpPeer::silence());
            continue;
        }
        m_peer->enqueue(CollectionAnswer(1, 1));
        m_peer->enqueue(MultistatusAnswer(Response(InboxUrl() + "m1",
                                                   "<D:getcontentlength>big</D:getcontentlength>"
                                                   "<m:read>0</m:read>")));
    }
    QTEST(session().GetMsgStoreProps(Mailbox()), "reply");
    QTEST(int(m_peer->requests().size()), "requests");
}

void tst_SessionFaults::storeLoadWithoutMailbox()
{
    QCOMPARE(session().GetMsgStoreProps(XmlDocument()),
             "-ERR Component error: " + QByteArray::number(XmlDocument::ErrorNoDocument));
    QCOMPARE(m_peer->requests().size(), 0);
}

// ---------------------------------------------------------------------------
// Retrieve and Top

void tst_SessionFaults::retrieveExactBytes()
{
    const QByteArray message("From: a\r\nSubject: \xe9t\xe9\r\n\r\n.\r\n..x\r\nend\0byte\r\n", 43);
    const int before = LoadThree(message.size());
    m_peer->enqueue(FakeHttpPeer::reply(200, "OK", message, {{"Content-Type", "message/rfc822"}}));

    QCOMPARE(session().Retrieve(1), "+OK 43\r\n" + message + ".");
    const QList<FakeHttpPeer::Request> sent = RequestsSince(before);
    QCOMPARE(sent.size(), 1);
    QCOMPARE(sent.at(0).verb, QByteArray("GET"));
    QCOMPARE(sent.at(0).target, QByteArray("/mail/joe/inbox/a1"));
    QCOMPARE(sent.at(0).header("X-Zorvane-Client"), QByteArray("Zorvane"));
    QVERIFY(!sent.at(0).hasHeader("Depth"));
}

void tst_SessionFaults::retrieveRefusals()
{
    const int before = LoadThree();
    session().Mark(2);
    QCOMPARE(session().Retrieve(0), QByteArray("-ERR No such message."));
    QCOMPARE(session().Retrieve(4), QByteArray("-ERR No such message."));
    QCOMPARE(session().Retrieve(2), QByteArray("-ERR Already deleted."));
    QCOMPARE(session().Top(0, 5), QByteArray("-ERR no such message"));
    QCOMPARE(session().Top(2, 5), QByteArray("-ERR deleted"));
    QVERIFY(!session().RetrieveAsync(2));
    QVERIFY(!session().RetrieveAsync(0));
    QCOMPARE(RequestsSince(before).size(), 0);
}

void tst_SessionFaults::retrieveFailures_data()
{
    QTest::addColumn<int>("case_");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("requests");
    QTest::newRow("404 three times: an error page is no message")
        << 0 << QByteArray("-ERR Retrieval failed: 10404, 404 - Error details not available.") << 3;
    QTest::newRow("500 then the message") << 1 << QByteArray("+OK 5\r\nhello\r\n.") << 2;
    QTest::newRow("answer cut short, then whole") << 3 << QByteArray("+OK 5\r\nhello\r\n.") << 2;
    QTest::newRow("transfer stalls three times")
        << 2 << QByteArray("-ERR Retrieval failed: 1000, 0 - Error details not available.") << 3;
}

void tst_SessionFaults::retrieveFailures()
{
    QFETCH(int, case_);
    const int before = LoadThree();
    const FakeHttpPeer::Answer stalled =
        FakeHttpPeer::raw("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nFrom: a\r\n").stall();
    for (int i = 0; i < 3; ++i) {
        switch (case_) {
        case 0:
            m_peer->enqueue(HtmlPage(404, "Not Found"));
            break;
        case 1:
            m_peer->enqueue(i == 0 ? HtmlPage(500, "Oops") : FakeHttpPeer::reply(200, "OK", "hello"));
            break;
        case 2:
            m_peer->enqueue(stalled);
            break;
        case 3:
            m_peer->enqueue(i == 0 ? FakeHttpPeer::raw("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nhel").close()
                                   : FakeHttpPeer::reply(200, "OK", "hello"));
            break;
        }
    }
    QTEST(session().Retrieve(1), "reply");
    QTEST(int(RequestsSince(before).size()), "requests");
    if (case_ == 2) {
        // How many polls passed before the answer began depends on the
        // machine's load; the count does not. It ends at 901 only when the
        // wait switched to 1-unit polls once the answer began: a wait on
        // which nothing began gives up at 903.
        const int polls = session().LastWaitPolls();
        const int early = session().LastWaitPollsBeforeAnswer();
        QCOMPARE(polls + 2 * early, UnitsWhenStalledAnswerGivenUp);
    }
}

void tst_SessionFaults::retrieveFromDeadAddress()
{
    const QByteArray dead = "http://127.0.0.1:" + QByteArray::number(WebmailTestEnvironment::DeadPort()) + "/inbox/";
    m_peer->enqueue(CollectionAnswer(1, 1));
    m_peer->enqueue(FolderAnswer({{"gone", 10, false}}, dead));
    QCOMPARE(session().GetMsgStoreProps(Mailbox()), QByteArray("+OK store loaded"));
    QCOMPARE(session().Retrieve(1),
             QByteArray("-ERR Retrieval failed: 12029, 12029 - The attempt to connect to the server failed."));
    QCOMPARE(session().HighestMessageNumber(), 1);
}

void tst_SessionFaults::topChoosesDownloadOrProperties_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<int>("lines");
    QTest::addColumn<QByteArray>("verb");
    QTest::addColumn<QByteArray>("reply");
    const QByteArray headerLines = "From: Ann <ann@example.org>\r\nSubject: Hi\r\n";
    // Either way the header section ends with exactly one empty line.
    QTest::newRow("10000 octets, no line: downloaded")
        << qint64(10000) << 0 << QByteArray("GET") << QByteArray("+OK\r\nFrom: a\r\n\r\n.");
    QTest::newRow("10000 octets, negative count: downloaded")
        << qint64(10000) << -1 << QByteArray("GET") << QByteArray("+OK\r\nFrom: a\r\n\r\n.");
    QTest::newRow("10001 octets, no line: properties")
        << qint64(10001) << 0 << QByteArray("PROPFIND")
        << "+OK\r\n" + headerLines + "X-Zorvane-Id: <a1@zorvane.test>\r\n\r\n.";
    QTest::newRow("10001 octets, negative count: properties")
        << qint64(10001) << -1 << QByteArray("PROPFIND")
        << "+OK\r\n" + headerLines + "X-Zorvane-Id: <a1@zorvane.test>\r\n\r\n.";
    QTest::newRow("10001 octets, one line: downloaded")
        << qint64(10001) << 1 << QByteArray("GET") << QByteArray("+OK\r\nFrom: a\r\n\r\nb1\r\n\r\n.");
}

void tst_SessionFaults::topChoosesDownloadOrProperties()
{
    QFETCH(qint64, size);
    QFETCH(int, lines);
    QFETCH(QByteArray, verb);
    const int before = LoadThree(size);
    if (verb == "GET") {
        m_peer->enqueue(FakeHttpPeer::reply(200, "OK", "From: a\r\n\r\nb1\r\nb2\r\n"));
    } else {
        m_peer->enqueue(MultistatusAnswer(Response(InboxUrl() + "a1",
                                                   "<m:header><m:line>From: Ann &lt;ann@example.org&gt;</m:line>"
                                                   "<m:line>Subject: Hi</m:line></m:header>")));
    }
    QTEST(session().Top(1, lines), "reply");
    const QList<FakeHttpPeer::Request> sent = RequestsSince(before);
    QCOMPARE(sent.size(), 1);
    QCOMPARE(sent.at(0).verb, verb);
    QCOMPARE(sent.at(0).target, QByteArray("/mail/joe/inbox/a1"));
    if (verb == "PROPFIND") {
        QCOMPARE(sent.at(0).header("Depth"), QByteArray("1"));
        QCOMPARE(sent.at(0).body, LoadStoredText(1005));
    }
}

void tst_SessionFaults::topFailures()
{
    const int before = LoadThree(20000, 200);
    for (int i = 0; i < 3; ++i)
        m_peer->enqueue(HtmlPage(500, "Internal Server Error"));
    QCOMPARE(session().Top(1, 0),
             "+OK\r\nX-Comm-Error: " + QByteArray::number(XmlDocument::ErrorNoDocument)
                 + ", 500 - Error details not available.\r\n\r\n.");
    for (int i = 0; i < 3; ++i)
        m_peer->enqueue(HtmlPage(404, "Not Found"));
    QCOMPARE(session().Top(2, 0), QByteArray("-ERR Retrieval failed: 10404, 404 - Error details not available."));
    QCOMPARE(RequestsSince(before).size(), 6);
}

// ---------------------------------------------------------------------------
// Update phase and collection

void tst_SessionFaults::updateRequests()
{
    const int before = LoadThree();
    session().Mark(3);
    session().Mark(1);
    for (int i = 0; i < 2; ++i)
        m_peer->enqueue(MultistatusAnswer(QByteArray()));
    QVERIFY(session().MarkAsRead());
    m_peer->enqueue(FakeHttpPeer::reply(201, "Created"));
    // A refusal leaves the message where it was: a failure, asked again in
    // each pass, and the service's word is the reason.
    for (int i = 0; i < 3; ++i)
        m_peer->enqueue(FakeHttpPeer::reply(412, "Precondition Failed"));
    QList<clsHotmail::UpdateFailure> failures;
    QVERIFY(!session().MoveToDeletedItems(&failures));
    QCOMPARE(failures.size(), 1);
    QCOMPARE(failures.first().MsgNumber, 3);
    QCOMPARE(failures.first().Name, QByteArray("c3"));
    QCOMPARE(failures.first().Reason, QByteArray("412 Precondition Failed"));

    const QList<FakeHttpPeer::Request> sent = RequestsSince(before);
    QCOMPARE(sent.size(), 6);
    const QByteArray deleted = PeerUrl("/mail/joe/deleteditems/").toUtf8();
    const QByteArray names[] = {"a1", "c3"};
    for (int i = 0; i < 2; ++i) {
        const FakeHttpPeer::Request &mark = sent.at(i);
        QCOMPARE(mark.verb, QByteArray("PROPPATCH"));
        QCOMPARE(mark.target, "/mail/joe/inbox/" + names[i]);
        QCOMPARE(mark.header("Depth"), QByteArray("1"));
        QCOMPARE(mark.body, LoadStoredText(1006));
        const FakeHttpPeer::Request &move = sent.at(2 + i);
        QCOMPARE(move.verb, QByteArray("MOVE"));
        QCOMPARE(move.target, "/mail/joe/inbox/" + names[i]);
        QCOMPARE(move.header("Destination"), deleted + names[i]);
        QCOMPARE(move.header("X-Zorvane-Rename"), QByteArray("t"));
        QCOMPARE(move.header("X-Zorvane-Client"), QByteArray("Zorvane"));
    }
    // Marks stay as they were.
    QVERIFY(session().IsMarked(1));
    QVERIFY(session().IsMarked(3));

    // With the marks reset nothing is sent.
    QCOMPARE(session().ResetMarks(), QByteArray("+OK reset"));
    QVERIFY(session().MoveToDeletedItems());
    QVERIFY(session().MarkAsRead());
    QCOMPARE(RequestsSince(before).size(), 6);
}

// The service refusing to mark a message read fails the update phase for
// that message alone; the others are marked.
void tst_SessionFaults::refusedMarkIsAFailure()
{
    const int before = LoadThree();
    session().Mark(1);
    session().Mark(2);
    m_peer->enqueue(MultistatusAnswer(QByteArray()));
    for (int i = 0; i < 3; ++i)
        m_peer->enqueue(FakeHttpPeer::reply(403, "Forbidden"));
    QList<clsHotmail::UpdateFailure> failures;
    QVERIFY(!session().MarkAsRead(&failures));
    QCOMPARE(failures.size(), 1);
    QCOMPARE(failures.first().MsgNumber, 2);
    QCOMPARE(failures.first().Reason, QByteArray("403 Forbidden"));
    const QList<FakeHttpPeer::Request> sent = RequestsSince(before);
    QCOMPARE(sent.size(), 4);
    QCOMPARE(sent.at(0).target, QByteArray("/mail/joe/inbox/a1"));
    for (int i = 1; i < 4; ++i)
        QCOMPARE(sent.at(i).target, QByteArray("/mail/joe/inbox/b2"));
}

void tst_SessionFaults::updatePassesRestart()
{
    const int before = LoadThree();
    session().Mark(1);
    session().Mark(3);
    // The first pass gives up on message 1; the second one starts again
    // there, and what was done is not asked again.
    m_peer->enqueue(FakeHttpPeer::silence());
    m_peer->enqueue(MultistatusAnswer(QByteArray()));
    m_peer->enqueue(MultistatusAnswer(QByteArray()));
    QVERIFY(session().MarkAsRead());
    QList<FakeHttpPeer::Request> sent = RequestsSince(before);
    QCOMPARE(sent.size(), 3);
    QCOMPARE(sent.at(0).target, QByteArray("/mail/joe/inbox/a1"));
    QCOMPARE(sent.at(1).target, QByteArray("/mail/joe/inbox/a1"));
    QCOMPARE(sent.at(2).target, QByteArray("/mail/joe/inbox/c3"));

    // Three passes that all give up: nothing is moved, and each message
    // says why.
    for (int i = 0; i < 3; ++i)
        m_peer->enqueue(FakeHttpPeer::silence());
    QList<clsHotmail::UpdateFailure> failures;
    QVERIFY(!session().MoveToDeletedItems(&failures));
    QCOMPARE(RequestsSince(before).size(), 6);
    QCOMPARE(failures.size(), 2);
    QCOMPARE(failures.at(0).MsgNumber, 1);
    QCOMPARE(failures.at(0).Reason, QByteArray("no answer from the service in time"));
    QCOMPARE(failures.at(1).MsgNumber, 3);
    QCOMPARE(failures.at(1).Reason, QByteArray("not asked: the service failed on a message before it"));
}

void tst_SessionFaults::popCollect()
{
    m_peer->enqueue(FakeHttpPeer::reply(200, "OK", "nothing to collect"));
    QVERIFY(session().PopCollect(Mailbox()));
    m_peer->enqueue(HtmlPage(404, "Not Found")); // completion is all that counts
    QVERIFY(session().PopCollect(Mailbox()));
    m_peer->enqueue(FakeHttpPeer::silence());
    QVERIFY(!session().PopCollect(Mailbox()));
    QVERIFY(!session().PopCollect(XmlDocument()));

    const QList<FakeHttpPeer::Request> sent = m_peer->requests();
    QCOMPARE(sent.size(), 3);
    for (const FakeHttpPeer::Request &r : sent) {
        QCOMPARE(r.verb, QByteArray("GET"));
        QCOMPARE(r.target, QByteArray("/mail/joe/collect"));
        QVERIFY(!r.hasHeader("X-Zorvane-Client"));
    }
}

// ---------------------------------------------------------------------------
// Sending. The submission blocks the thread, so its peer runs on a thread
// of its own.

void tst_SessionFaults::sendAnswers_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("reason");
    QTest::addColumn<bool>("saveInSent");
    QTest::addColumn<QByteArray>("reply");
    QTest::newRow("201 stored, copy kept") << 201 << QByteArray("Created") << true << QByteArray("250 OK\r\n");
    QTest::newRow("200 stored, no copy") << 200 << QByteArray("OK") << false << QByteArray("250 OK\r\n");
    QTest::newRow("202 is no acceptance")
        << 202 << QByteArray("Accepted") << true << QByteArray("554 Transaction failed. 202 Accepted\r\n");
    QTest::newRow("403 sender refused") << 403 << QByteArray("Forbidden") << false
                                        << QByteArray("554 Transaction failed. 403 Forbidden\r\n");
    QTest::newRow("500") << 500 << QByteArray("Internal Server Error") << true
                         << QByteArray("554 Transaction failed. 500 Internal Server Error\r\n");
}

void tst_SessionFaults::sendAnswers()
{
    QFETCH(int, status);
    QFETCH(QByteArray, reason);
    QFETCH(bool, saveInSent);
    FakeHttpPeer sendPeer;
    QVERIFY(sendPeer.listenInOwnThread());
    sendPeer.enqueue(FakeHttpPeer::reply(status, reason, "said"));
    QVERIFY(session().GetSendUrl(Mailbox(sendPeer.url(QStringLiteral("/mail/joe/sendmsg")))));

    const QByteArray submission = "MAIL FROM:<joe@zorvane.test>\r\nRCPT TO:<ann@example.org>\r\n\r\n"
                                  "Subject: x\r\n\r\n..dot\r\n\xff\r\n";
    QTEST(session().Send(submission, saveInSent), "reply");

    const QList<FakeHttpPeer::Request> sent = sendPeer.requests();
    QCOMPARE(sent.size(), 1);
    const FakeHttpPeer::Request &r = sent.at(0);
    QCOMPARE(r.verb, QByteArray("POST"));
    QCOMPARE(r.target, QByteArray("/mail/joe/sendmsg"));
    QCOMPARE(r.body, submission);
    QCOMPARE(r.header("X-Zorvane-Save-In-Sent"), QByteArray(saveInSent ? "t" : "f"));
    // The four pairs go out in their order.
    QList<QByteArray> ours;
    for (const auto &header : r.headers) {
        const QByteArray name = header.first.toLower();
        if (name == "x-zorvane-client" || name == "depth" || name == "x-zorvane-envelope"
            || name == "x-zorvane-save-in-sent")
            ours.append(name + ": " + header.second);
    }
    QCOMPARE(ours,
             (QList<QByteArray>{"x-zorvane-client: Zorvane", "depth: 0", "x-zorvane-envelope: t",
                                "x-zorvane-save-in-sent: " + QByteArray(saveInSent ? "t" : "f")}));
}

void tst_SessionFaults::sendPostsAgainAfterComponentFailure()
{
    // A connection closed before any answer is a failure below HTTP: the
    // session's second attempt posts the message again. The HTTP layer
    // never posts it again on its own.
    const QByteArray submission = "MAIL FROM:<joe@zorvane.test>\r\nRCPT TO:<a@b.c>\r\n\r\nHi\r\n";
    FakeHttpPeer cutPeer;
    QVERIFY(cutPeer.listenInOwnThread());
    QVERIFY(session().GetSendUrl(Mailbox(cutPeer.url(QStringLiteral("/mail/joe/sendmsg")))));
    const FakeHttpPeer::Answer verdictCutShort =
        FakeHttpPeer::raw("HTTP/1.1 201 Created\r\nContent-Length: 100\r\n\r\nstored").close();
    cutPeer.enqueue(verdictCutShort);
    cutPeer.enqueue(verdictCutShort);
    QCOMPARE(session().Send(submission, true), QByteArray("451 Local error in processing\r\n"));
    QCOMPARE(cutPeer.requests().size(), 2);

    FakeHttpPeer sendPeer;
    QVERIFY(sendPeer.listenInOwnThread());
    QVERIFY(session().GetSendUrl(Mailbox(sendPeer.url(QStringLiteral("/mail/joe/sendmsg")))));

    sendPeer.enqueue(FakeHttpPeer::drop());
    sendPeer.enqueue(FakeHttpPeer::reply(201, "Created"));
    QCOMPARE(session().Send(submission, true), QByteArray("250 OK\r\n"));
    QVERIFY(sendPeer.scriptConsumed());
    QCOMPARE(sendPeer.requests().size(), 2);
    for (const FakeHttpPeer::Request &r : sendPeer.requests())
        QCOMPARE(r.body, submission);

    // Two failed attempts end in the local error; the answer after them is
    // never asked for.
    FakeHttpPeer failingPeer;
    QVERIFY(failingPeer.listenInOwnThread());
    QVERIFY(session().GetSendUrl(Mailbox(failingPeer.url(QStringLiteral("/mail/joe/sendmsg")))));
    for (int i = 0; i < 4; ++i)
        failingPeer.enqueue(FakeHttpPeer::drop());
    failingPeer.enqueue(FakeHttpPeer::reply(201, "Created"));
    QCOMPARE(session().Send(submission, true), QByteArray("451 Local error in processing\r\n"));
    QCOMPARE(failingPeer.requests().size(), 2);
    QVERIFY(!failingPeer.scriptConsumed());
}

void tst_SessionFaults::sendWithoutUsableAddress()
{
    // No send address yet.
    QCOMPARE(session().Send("MAIL FROM:<a@b>\r\n\r\nx\r\n", false), QByteArray("451 Local error in processing\r\n"));
    // A mailbox document the stylesheet cannot read leaves the address as it was.
    QVERIFY(!session().GetSendUrl(XmlDocument()));
    QVERIFY(session().SendUrl().isEmpty());
    // A service that refuses the connection.
    const QString dead = QStringLiteral("http://127.0.0.1:%1/send").arg(WebmailTestEnvironment::DeadPort());
    QVERIFY(session().GetSendUrl(Mailbox(dead)));
    QCOMPARE(session().SendUrl(), dead.toUtf8());
    QCOMPARE(session().Send("MAIL FROM:<a@b>\r\n\r\nx\r\n", false), QByteArray("451 Local error in processing\r\n"));
    QCOMPARE(m_peer->requests().size(), 0);
}

// ---------------------------------------------------------------------------
// Debug log, busy state and the asynchronous download

// ---------------------------------------------------------------------------
// Reading the next message ahead

namespace {

// The message name a GET asks for: the last segment of its path.
QByteArray NameIn(const FakeHttpPeer::Request &request)
{
    const QByteArray path = request.path();
    return path.mid(path.lastIndexOf('/') + 1);
}

QByteArray MessageText(const QByteArray &name)
{
    return "Subject: " + name + "\r\n\r\nbody of " + name + "\r\n";
}

// Answers each GET with the message of that name.
FakeHttpPeer::Responder MessagesByName()
{
    return [](const FakeHttpPeer::Request &r) { return FakeHttpPeer::reply(200, "OK", MessageText(NameIn(r))); };
}

// What the client does while the next message is read ahead.
enum ClientCommand {
    RetrSame,
    RetrOther,
    DeleThat,
    DeleOther,
    Rset,
    StatList,
    Quit,
    StoreReload,
    SmtpLogin,
    SmtpSend,
    LargeRetr
};

} // namespace

void tst_SessionFaults::readAheadOfNextMessage_data()
{
    QTest::addColumn<qint64>("size2");
    QTest::addColumn<bool>("markSecond");
    QTest::addColumn<bool>("useTop");
    QTest::addColumn<int>("heldAfterFirst");
    QTest::newRow("RETR, next at the size limit") << qint64(50000) << false << false << 2;
    QTest::newRow("TOP with lines, next at the size limit") << qint64(50000) << false << true << 2;
    QTest::newRow("RETR, next above the size limit") << qint64(50001) << false << false << 0;
    QTest::newRow("RETR, next marked for deletion") << qint64(200) << true << false << 0;
}

// Each message is asked for once, whether its answer was read ahead or not,
// and the client gets the same reply either way.
void tst_SessionFaults::readAheadOfNextMessage()
{
    QFETCH(qint64, size2);
    QFETCH(bool, markSecond);
    QFETCH(bool, useTop);
    QFETCH(int, heldAfterFirst);
    QVERIFY(LoginJoeAndLoadThree(100, size2, 300));
    m_peer->setResponder(MessagesByName());
    if (markSecond)
        session().Mark(2);
    const auto fetch = [&](int n) { return useTop ? session().Top(n, 5) : session().Retrieve(n); };
    const auto expected = [&](const QByteArray &name) {
        const QByteArray text = MessageText(name);
        return useTop ? MessageTextReplies::TopReply(text, 5) : MessageTextReplies::RetrieveReply(text);
    };

    QCOMPARE(fetch(1), expected("a1"));
    QCOMPARE(session().ReadAheadMessage(), heldAfterFirst);
    // Held or not, a read-ahead never makes the session busy.
    QVERIFY(!session().IsBusy());
    if (heldAfterFirst == 2)
        QVERIFY(m_peer->waitForRequests(int(m_peer->requests().size()) + 1));
    if (!markSecond) {
        QCOMPARE(fetch(2), expected("b2"));
        QCOMPARE(session().ReadAheadMessage(), 3);
    }
    QCOMPARE(fetch(3), expected("c3"));
    QCOMPARE(session().ReadAheadMessage(), 0); // there is no fourth
    QCOMPARE(GetsOf("a1"), 1);
    QCOMPARE(GetsOf("b2"), markSecond ? 0 : 1);
    QCOMPARE(GetsOf("c3"), 1);
    QCOMPARE(m_peer->unscriptedRequests(), 0);
}

void tst_SessionFaults::readAheadThatFailsIsNotSeen_data()
{
    QTest::addColumn<FakeHttpPeer::Answer>("fault");
    QTest::addColumn<int>("faults"); // the first GETs of the message that get the fault
    QTest::addColumn<int>("laterStatus");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("getsOfSecond");
    const QByteArray message = MessageText("b2");
    const QByteArray good = MessageTextReplies::RetrieveReply(message);
    QTest::newRow("500") << HtmlPage(500, "Oops") << 1 << 200 << good << 2;
    // The component answers the first challenge itself, and sends a request
    // dropped on a connection kept from before once more on a new one.
    QTest::newRow("401") << FakeHttpPeer::basicChallenge("zorvane.test", "no") << 2 << 200 << good << 3;
    QTest::newRow("cut short") << FakeHttpPeer::raw("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nSubject").close()
                               << 1 << 200 << good << 2;
    QTest::newRow("dropped") << FakeHttpPeer::drop() << 2 << 200 << good << 3;
    // When the ordinary attempts fail as well, the client reads what it
    // always read: their failure, never the read-ahead's.
    QTest::newRow("500, then 404 three times")
        << HtmlPage(500, "Oops") << 1 << 404
        << QByteArray("-ERR Retrieval failed: 10404, 404 - Error details not available.") << 4;
}

void tst_SessionFaults::readAheadThatFailsIsNotSeen()
{
    QFETCH(FakeHttpPeer::Answer, fault);
    QFETCH(int, faults);
    QFETCH(int, laterStatus);
    QVERIFY(LoginJoeAndLoadThree(100, 200, 300));
    int getsOfSecond = 0;
    m_peer->setResponder([&](const FakeHttpPeer::Request &r) {
        const QByteArray name = NameIn(r);
        if (name != "b2")
            return FakeHttpPeer::reply(200, "OK", MessageText(name));
        if (++getsOfSecond <= faults)
            return fault;
        return laterStatus == 200 ? FakeHttpPeer::reply(200, "OK", MessageText(name)) : HtmlPage(laterStatus, "No");
    });

    QCOMPARE(session().Retrieve(1), MessageTextReplies::RetrieveReply(MessageText("a1")));
    QCOMPARE(session().ReadAheadMessage(), 2);
    // The read-ahead goes out from the event loop, after the reply.
    QCOMPARE(getsOfSecond, 0);
    QTRY_VERIFY(getsOfSecond > 0);
    QTEST(session().Retrieve(2), "reply");
    QTEST(GetsOf("b2"), "getsOfSecond");
}

void tst_SessionFaults::readAheadDroppedOrKept_data()
{
    QTest::addColumn<int>("command");
    QTest::addColumn<bool>("kept");
    // Asked again and again, a message is not taken for reading in order.
    QTest::newRow("RETR of the same message again") << int(RetrSame) << false;
    QTest::newRow("RETR of another message") << int(RetrOther) << false;
    QTest::newRow("DELE of that message") << int(DeleThat) << false;
    QTest::newRow("DELE of another message") << int(DeleOther) << true;
    QTest::newRow("RSET") << int(Rset) << true;
    QTest::newRow("STAT, LIST, UIDL") << int(StatList) << true;
    QTest::newRow("QUIT") << int(Quit) << false;
    QTest::newRow("store reload") << int(StoreReload) << false;
    QTest::newRow("SMTP login") << int(SmtpLogin) << false;
    QTest::newRow("SMTP send") << int(SmtpSend) << false;
    QTest::newRow("RETR of a large message") << int(LargeRetr) << false;
}

// A read-ahead still running when the client does something else: commands
// answered from the loaded store leave it be; anything that sends a request
// of its own, or makes the message one that is not retrieved, drops it before
// it goes on. The service sees no more than that one unused GET.
void tst_SessionFaults::readAheadDroppedOrKept()
{
    QFETCH(int, command);
    QFETCH(bool, kept);
    FakeHttpPeer sendPeer;
    QVERIFY(sendPeer.listenInOwnThread());
    sendPeer.enqueue(FakeHttpPeer::reply(201, "Created"));
    QVERIFY(session().GetSendUrl(Mailbox(sendPeer.url(QStringLiteral("/mail/joe/sendmsg")))));
    QVERIFY(LoginJoeAndLoadThree(100, 200, 60000));
    m_peer->setResponder([](const FakeHttpPeer::Request &r) {
        const QByteArray name = NameIn(r);
        if (r.verb == "GET" && name == "b2")
            return FakeHttpPeer::silence(); // the read-ahead runs until dropped
        if (r.verb == "GET")
            return FakeHttpPeer::reply(200, "OK", MessageText(name));
        return FakeHttpPeer::reply(207, "Multi-Status", Multistatus(QByteArray()), XmlType);
    });
    QCOMPARE(session().Retrieve(1), MessageTextReplies::RetrieveReply(MessageText("a1")));
    QVERIFY(m_peer->waitForRequests(int(m_peer->requests().size()) + 1));
    QCOMPARE(GetsOf("b2"), 1);
    QSignalSpy closed(m_peer.get(), &FakeHttpPeer::connectionClosed);
    XmlDocument mailbox;
    std::unique_ptr<XmlHttpRequest> large;

    switch (ClientCommand(command)) {
    case RetrSame:
        QCOMPARE(session().Retrieve(1), MessageTextReplies::RetrieveReply(MessageText("a1")));
        break;
    case RetrOther:
        QCOMPARE(session().Retrieve(3), MessageTextReplies::RetrieveReply(MessageText("c3")));
        break;
    case DeleThat:
        QCOMPARE(session().Mark(2), QByteArray("+OK marked for deletion"));
        break;
    case DeleOther:
        QCOMPARE(session().Mark(1), QByteArray("+OK marked for deletion"));
        break;
    case Rset:
        QVERIFY(session().ResetMarks().startsWith("+OK"));
        break;
    case StatList:
        QVERIFY(session().Stat().startsWith("+OK 3"));
        QVERIFY(session().List(2).startsWith("+OK 2 200"));
        QVERIFY(session().ListNames().startsWith("+OK"));
        break;
    case Quit:
        QVERIFY(session().MarkAsRead());
        QCOMPARE(session().Logoff(QStringLiteral("joe@zorvane.test")), 207);
        break;
    case StoreReload:
        QVERIFY(!session().GetMsgStoreProps(Mailbox(), true).isEmpty());
        break;
    case SmtpLogin:
        session().Login(QStringLiteral("ann@zorvane.test"), QStringLiteral("pw"), mailbox, clsHotmail::FrontEnd::Smtp);
        break;
    case SmtpSend:
        QCOMPARE(session().Send("Subject: x\r\n\r\nx\r\n", false), QByteArray("250 OK\r\n"));
        break;
    case LargeRetr:
        large = session().RetrieveAsync(3);
        QVERIFY(large);
        QTRY_COMPARE(large->readyState(), 4);
        break;
    }

    QCOMPARE(session().ReadAheadMessage(), kept ? 2 : 0);
    if (!kept) // the unused download was stopped, not left to run
        QVERIFY(closed.count() > 0 || closed.wait());
    QCOMPARE(GetsOf("b2"), 1);
}

// The read-ahead presents the POP3 dialogue's account, whoever the SMTP side
// logged in meanwhile.
void tst_SessionFaults::readAheadPresentsPop3Account()
{
    QVERIFY(LoginJoeAndLoadThree(100, 200, 300));
    m_peer->enqueue(FakeHttpPeer::basicChallenge("zorvane.test"));
    m_peer->enqueue(FakeHttpPeer::reply(207, "Multi-Status", Mailbox().xml(), XmlType));
    XmlDocument mailbox;
    QCOMPARE(session().Login(QStringLiteral("ann@zorvane.test"), QStringLiteral("other"), mailbox,
                             clsHotmail::FrontEnd::Smtp),
             207);
    // Every GET must carry credentials: the service challenges one without.
    m_peer->setResponder([](const FakeHttpPeer::Request &r) {
        if (!r.hasHeader("Authorization"))
            return FakeHttpPeer::basicChallenge("zorvane.test");
        return FakeHttpPeer::reply(200, "OK", MessageText(NameIn(r)));
    });
    QCOMPARE(session().Retrieve(1), MessageTextReplies::RetrieveReply(MessageText("a1")));
    QCOMPARE(session().ReadAheadMessage(), 2);
    QTRY_COMPARE(GetsOf("b2"), 1);
    QCOMPARE(session().Retrieve(2), MessageTextReplies::RetrieveReply(MessageText("b2")));
    QCOMPARE(GetsOf("b2"), 1);
    for (const FakeHttpPeer::Request &r : m_peer->requests()) {
        if (r.verb == "GET")
            QCOMPARE(BasicUser(r), QByteArray("joe:s3cret"));
    }
}

void tst_SessionFaults::responseLogOnlyInDebugMode()
{
    modMain &state = *m_env->state;
    state.StartFileLog(true, m_env->LogFolder());
    QVERIFY(state.LogToFile);
    QFile log(state.ActivityLog->filePath());

    m_peer->enqueue(FakeHttpPeer::reply(207, "Multi-Status", Multistatus(QByteArray()), {{"X-Marker", "logged-1"}}));
    QCOMPARE(session().Logoff(QStringLiteral("joe@zorvane.test")), 207);
    m_peer->enqueue(FakeHttpPeer::silence());
    QCOMPARE(session().Logoff(QStringLiteral("joe@zorvane.test")), 0);

    QVERIFY(log.open(QIODevice::ReadOnly));
    const QByteArray logged = log.readAll();
    log.close();
    QVERIFY2(logged.contains("207 - Multi-Status"), logged.constData());
    QVERIFY(logged.contains("X-Marker: logged-1"));
    QVERIFY(logged.contains("ERR - Logoff failed"));

    // With the debug mode off no request writes a byte.
    state.LogToFile = false;
    const qint64 sizeBefore = QFileInfo(log.fileName()).size();
    m_peer->enqueue(FakeHttpPeer::reply(207, "Multi-Status", Multistatus(QByteArray()), {{"X-Marker", "logged-2"}}));
    QCOMPARE(session().ConnStatus(QStringLiteral("joe@zorvane.test")), QByteArray());
    const int before = LoadThree();
    QVERIFY(before > 0);
    QCOMPARE(QFileInfo(log.fileName()).size(), sizeBefore);
}

void tst_SessionFaults::busyDuringOperationsIdleAfter()
{
    QSignalSpy idle(&session(), &clsHotmail::Idle);
    QList<bool> busyWhenAsked;
    QList<int> idleCountWhenAsked;
    connect(m_peer.get(), &FakeHttpPeer::requestReceived, this, [&] {
        busyWhenAsked.append(session().IsBusy());
        idleCountWhenAsked.append(int(idle.count()));
    });
    for (int i = 0; i < 3; ++i)
        m_peer->enqueue(HtmlPage(503, "Service Unavailable"));

    QVERIFY(!session().IsBusy());
    QVERIFY(!session().ConnStatus(QStringLiteral("joe@zorvane.test")).isEmpty());
    QCOMPARE(busyWhenAsked, (QList<bool>{true, true, true}));
    // Not between the three probes: only once the whole operation is over.
    QCOMPARE(idleCountWhenAsked, (QList<int>{0, 0, 0}));
    QVERIFY(!session().IsBusy());
    QTRY_COMPARE(idle.count(), 1);
}

void tst_SessionFaults::asyncDownloadKeepsSessionBusy()
{
    QSignalSpy idle(&session(), &clsHotmail::Idle);
    LoadThree();
    QTRY_COMPARE(idle.count(), 1); // from the load
    idle.clear();

    const QByteArray message = "Subject: big\r\n\r\n" + QByteArray(60000, 'x') + "\r\n";
    m_peer->enqueue(FakeHttpPeer::reply(200, "OK", message));
    std::unique_ptr<XmlHttpRequest> download = session().RetrieveAsync(3);
    QVERIFY(download);
    QVERIFY(session().IsBusy());
    QTRY_COMPARE(download->readyState(), 4);
    QCOMPARE(download->responseText(), message);
    QCOMPARE(m_peer->requests().last().target, QByteArray("/mail/joe/inbox/c3"));
    QVERIFY(session().IsBusy()); // until the caller says it is done
    QCOMPARE(idle.count(), 0);
    session().AsyncDownloadFinished();
    QVERIFY(!session().IsBusy());
    QTRY_COMPARE(idle.count(), 1);

    // A caller that drops the download frees the session all the same.
    m_peer->enqueue(FakeHttpPeer::silence());
    download = session().RetrieveAsync(1);
    QVERIFY(download);
    QVERIFY(session().IsBusy());
    download.reset();
    QVERIFY(!session().IsBusy());
    QTRY_COMPARE(idle.count(), 2);
}

QTEST_GUILESS_MAIN(tst_SessionFaults)
#include "tst_SessionFaults.moc"
