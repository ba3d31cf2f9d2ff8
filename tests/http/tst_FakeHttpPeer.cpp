#include "FakeHttpPeer.h"

#include <QTcpSocket>
#include <QTest>

// The scripted peer other tests build on: it must read requests the way any
// client may write them and answer them in order.
class tst_FakeHttpPeer : public QObject
{
    Q_OBJECT

private slots:
    void readsRequestsHoweverTheyArrive_data();
    void readsRequestsHoweverTheyArrive();
    void malformedRequestIsAnswered400AndRecordedNowhere();
};

namespace {

const QByteArray TwoPipelinedRequests = "PROPFIND /mail/inbox/ HTTP/1.1\r\n"
                                        "Host: 127.0.0.1\r\n"
                                        "Depth: 1\r\n"
                                        "Content-Length: 7\r\n"
                                        "\r\n"
                                        "<a>\r\n</"
                                        "POST /mail/send HTTP/1.1\r\n"
                                        "Transfer-Encoding: chunked\r\n"
                                        "\r\n"
                                        "5\r\nMAIL \r\n"
                                        "a;ext=1\r\nFROM:<x>\r\n\r\n"
                                        "0\r\n"
                                        "\r\n";

QByteArray readAnswers(QTcpSocket &socket, qsizetype bytes)
{
    QByteArray received;
    while (received.size() < bytes && socket.waitForReadyRead(10000))
        received += socket.readAll();
    return received;
}

} // namespace

void tst_FakeHttpPeer::readsRequestsHoweverTheyArrive_data()
{
    QTest::addColumn<int>("pieceBytes");
    QTest::newRow("whole") << int(TwoPipelinedRequests.size());
    QTest::newRow("byte by byte") << 1;
    QTest::newRow("CR LF split") << 3;
}

void tst_FakeHttpPeer::readsRequestsHoweverTheyArrive()
{
    QFETCH(int, pieceBytes);
    FakeHttpPeer peer;
    QVERIFY(peer.listenInOwnThread()); // this thread drives the raw socket
    const QByteArray first = "HTTP/1.1 207 Multi-Status\r\nContent-Length: 0\r\n\r\n";
    const QByteArray second = "HTTP/1.1 201 Created\r\nContent-Length: 0\r\n\r\n";
    peer.enqueue(FakeHttpPeer::raw(first).wait(50)); // the second waits its turn
    peer.enqueue(FakeHttpPeer::raw(second));

    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, peer.port());
    QVERIFY(client.waitForConnected(10000));
    for (qsizetype at = 0; at < TwoPipelinedRequests.size(); at += pieceBytes) {
        client.write(TwoPipelinedRequests.mid(at, pieceBytes));
        QVERIFY(client.waitForBytesWritten(10000));
    }
    QCOMPARE(readAnswers(client, first.size() + second.size()), first + second);

    const QList<FakeHttpPeer::Request> requests = peer.requests();
    QCOMPARE(requests.size(), 2);
    QCOMPARE(requests.at(0).verb, QByteArray("PROPFIND"));
    QCOMPARE(requests.at(0).path(), QByteArray("/mail/inbox/"));
    QCOMPARE(requests.at(0).header("depth"), QByteArray("1"));
    QCOMPARE(requests.at(0).body, QByteArray("<a>\r\n</"));
    QCOMPARE(requests.at(1).verb, QByteArray("POST"));
    QCOMPARE(requests.at(1).body, QByteArray("MAIL FROM:<x>\r\n"));
    QCOMPARE(requests.at(1).connection, 1);
    QVERIFY(peer.scriptConsumed());
    QCOMPARE(peer.unscriptedRequests(), 0);
}

void tst_FakeHttpPeer::malformedRequestIsAnswered400AndRecordedNowhere()
{
    FakeHttpPeer peer;
    QVERIFY(peer.listenInOwnThread());
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, peer.port());
    QVERIFY(client.waitForConnected(10000));
    client.write("GET /x HTTP/1.1\r\nContent-Length: lots\r\n\r\n");
    QVERIFY(client.waitForBytesWritten(10000));
    QVERIFY(readAnswers(client, 12).startsWith("HTTP/1.1 400 "));
    QVERIFY(client.state() == QAbstractSocket::UnconnectedState || client.waitForDisconnected(10000));
    QVERIFY(peer.requests().isEmpty());
}

QTEST_GUILESS_MAIN(tst_FakeHttpPeer)
#include "tst_FakeHttpPeer.moc"
