// The background delivery of a large message to a POP3 client: the text
// reaches the client while it is still being fetched, stuffed as a whole
// text would be, and only a whole message gets the terminating line.
#include "FakeHttpPeer.h"
#include "MessageDelivery.h"
#include "Winsock.h"
#include "XmlHttpRequest.h"

#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>

namespace {

constexpr int WaitMs = 10000;
const QByteArray KeepAlive = MessageDelivery::KeepAliveLine;

// One client connected to a Winsock that carries its connection.
struct Connection
{
    Winsock wskPop;
    QTcpSocket client;
    QByteArray received;

    bool open()
    {
        if (!wskPop.Listen())
            return false;
        QObject::connect(&wskPop, &Winsock::ConnectionRequest, &wskPop, [this](qintptr id) { wskPop.Accept(id); });
        QObject::connect(&client, &QTcpSocket::readyRead, &client, [this] { received += client.readAll(); });
        client.connectToHost(QHostAddress::LocalHost, wskPop.LocalPort());
        return QTest::qWaitFor([this] { return wskPop.State() == Winsock::sckConnected; }, WaitMs);
    }
    bool receivedEndsWith(const QByteArray &tail)
    {
        return QTest::qWaitFor([&] { return received.endsWith(tail); }, WaitMs);
    }
};

std::unique_ptr<XmlHttpRequest> download(FakeHttpPeer &peer)
{
    auto request = std::make_unique<XmlHttpRequest>();
    request->open("GET", peer.url("/mail/user/inbox/big"), true);
    request->send();
    return request;
}

QByteArray headerFor(qsizetype length)
{
    return "HTTP/1.1 200 OK\r\nContent-Type: message/rfc822\r\nContent-Length: " + QByteArray::number(length)
        + "\r\n\r\n";
}

} // namespace

class tst_MessageDelivery : public QObject
{
    Q_OBJECT
private slots:
    void textFlowsWhileItIsFetched();
    void errorPageNeverReachesTheClient();
    void transferBrokenHalfwayEndsWithoutTerminator();

private:
    void deliveryFails(Connection &connection, const FakeHttpPeer::Answer &answer);
};

// The service gives the answer to the download for a freshly connected
// client; the delivery must end as failed.
void tst_MessageDelivery::deliveryFails(Connection &connection, const FakeHttpPeer::Answer &answer)
{
    FakeHttpPeer peer;
    QVERIFY(peer.listen());
    peer.enqueue(answer);
    QVERIFY(connection.open());
    MessageDelivery delivery(connection.wskPop);
    QSignalSpy finished(&delivery, &MessageDelivery::Finished);

    delivery.Start(download(peer));
    QVERIFY(finished.wait(WaitMs));
    QCOMPARE(finished.first().first().value<MessageDelivery::Outcome>(), MessageDelivery::Outcome::Failed);
}

// Half of the message reaches the client before the rest has even been
// sent by the service; no keep-alive line lands inside the text.
void tst_MessageDelivery::textFlowsWhileItIsFetched()
{
    // Lines beginning with "." on both sides of the cut, and the cut inside
    // a CR LF.
    const QByteArray first = "Subject: big\r\n\r\n.one\r\nline\r";
    const QByteArray second = "\n.two\r\n..\r\nlast\r\n";
    FakeHttpPeer peer;
    QVERIFY(peer.listen());
    peer.enqueue(FakeHttpPeer::raw(headerFor(first.size() + second.size()) + first).stall());
    Connection connection;
    QVERIFY(connection.open());
    MessageDelivery delivery(connection.wskPop);
    delivery.RetrieveTimer().setInterval(10);
    QSignalSpy finished(&delivery, &MessageDelivery::Finished);

    delivery.Start(download(peer));
    QVERIFY(connection.receivedEndsWith("line\r"));
    // Keep-alive lines may come before the text, never inside it.
    const qsizetype textStart = connection.received.indexOf("Subject:");
    QCOMPARE(connection.received.left(textStart), KeepAlive.repeated(textStart / KeepAlive.size()));
    QCOMPARE(connection.received.mid(textStart), "Subject: big\r\n\r\n..one\r\nline\r");
    QVERIFY(delivery.IsActive());
    QSignalSpy ticks(&delivery.RetrieveTimer(), &QTimer::timeout);
    while (ticks.count() < 3)
        QVERIFY(ticks.wait(WaitMs));
    QVERIFY(finished.isEmpty());

    QVERIFY(peer.resumeStalled(FakeHttpPeer::raw(second)));
    QVERIFY(finished.wait(WaitMs));
    QCOMPARE(finished.first().first().value<MessageDelivery::Outcome>(), MessageDelivery::Outcome::Delivered);
    QVERIFY(connection.receivedEndsWith("\r\n.\r\n"));
    QCOMPARE(connection.received.mid(textStart), "Subject: big\r\n\r\n..one\r\nline\r\n..two\r\n...\r\nlast\r\n.\r\n");
    QVERIFY(!delivery.IsActive());
}

void tst_MessageDelivery::errorPageNeverReachesTheClient()
{
    const QByteArray page = "<html>no such message</html>\r\n";
    Connection connection;
    deliveryFails(connection,
                  FakeHttpPeer::raw("HTTP/1.1 404 Not Found\r\nContent-Length: " + QByteArray::number(page.size())
                                    + "\r\n\r\n" + page.left(10))
                      .wait(50)
                      .send(page.mid(10)));
    // Whatever the delivery sent would arrive before this.
    QVERIFY(connection.wskPop.SendData("sentinel"));
    QVERIFY(connection.receivedEndsWith("sentinel"));
    QCOMPARE(connection.received, QByteArray("sentinel"));
}

// What went out of a transfer that broke stays without the terminating
// line, so the client takes the message as not received.
void tst_MessageDelivery::transferBrokenHalfwayEndsWithoutTerminator()
{
    const QByteArray first = "Subject: cut\r\n\r\nfirst half\r\n";
    Connection connection;
    deliveryFails(connection, FakeHttpPeer::raw(headerFor(first.size() * 2) + first).wait(50).reset());
    QVERIFY(connection.receivedEndsWith(first));
    QVERIFY(!connection.received.contains("\r\n.\r\n"));
}

QTEST_MAIN(tst_MessageDelivery)
#include "tst_MessageDelivery.moc"
