#include "Winsock.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <cerrno>
#include <memory>

namespace {

// Connects a client to the listener and returns it with the request id the
// listener announced.
std::unique_ptr<QTcpSocket> connectClient(Winsock &listener, qintptr *requestId)
{
    QSignalSpy requests(&listener, &Winsock::ConnectionRequest);
    auto client = std::make_unique<QTcpSocket>();
    client->connectToHost(QHostAddress::LocalHost, listener.LocalPort());
    if (!requests.wait(5000) && requests.isEmpty())
        return nullptr;
    *requestId = requests.first().first().value<qintptr>();
    return client;
}

// What the front ends do with a request: close the listener, take the call.
std::unique_ptr<QTcpSocket> acceptClient(Winsock &listener)
{
    qintptr id = 0;
    auto client = connectClient(listener, &id);
    if (!client)
        return nullptr;
    listener.Close();
    if (!listener.Accept(id))
        return nullptr;
    return client;
}

// Reads with the event loop running, so the listener side can send.
QByteArray readUntil(QTcpSocket &client, qsizetype bytes)
{
    QByteArray received = client.readAll();
    QSignalSpy readable(&client, &QTcpSocket::readyRead);
    while (received.size() < bytes) {
        if (client.bytesAvailable() == 0 && !readable.wait(5000))
            break;
        received += client.readAll();
    }
    return received;
}

} // namespace

class tst_Winsock : public QObject
{
    Q_OBJECT

private slots:
    void listens_on_a_free_port_when_given_port_0();
    void request_shows_the_loopback_peer_before_and_after_closing();
    void send_progress_follows_the_peer_reading();
    void carries_one_connection_in_both_directions_8bit_clean();
    void a_flooding_peer_is_read_no_faster_than_taken();
    void send_complete_follows_the_written_bytes();
    void a_reply_leaves_inside_send_data_without_delay();
    void does_not_listen_while_carrying_a_connection();
    void peer_close_leaves_state_8_until_closed_and_listening_again();
    void a_request_not_accepted_is_dropped_when_listening_again();
    void data_sent_before_accepting_is_announced_after_accepting();
    void a_handler_may_end_the_connection_and_let_events_run_data();
    void a_handler_may_end_the_connection_and_let_events_run();
    void lines_sent_while_a_handler_waits_are_announced();
    void request_waits_for_a_handler_to_be_connected();
    void port_held_by_another_program_gives_10048();
    void operations_in_the_wrong_state_fail_with_an_error();
};

void tst_Winsock::listens_on_a_free_port_when_given_port_0()
{
    Winsock listener;
    QCOMPARE(listener.State(), int(Winsock::sckClosed));
    listener.SetLocalPort(0);
    QVERIFY(listener.Listen());
    QCOMPARE(listener.State(), int(Winsock::sckListening));
    QVERIFY(listener.LocalPort() != 0);
    listener.Close();
    QCOMPARE(listener.State(), int(Winsock::sckClosed));
}

void tst_Winsock::request_shows_the_loopback_peer_before_and_after_closing()
{
    Winsock listener;
    QVERIFY(listener.Listen());
    qintptr id = 0;
    auto client = connectClient(listener, &id);
    QVERIFY(client);
    QCOMPARE(listener.RemoteHostIP(), QStringLiteral("127.0.0.1"));
    QVERIFY(!listener.RemoteHost().isEmpty());
    listener.Close();
    QCOMPARE(listener.State(), int(Winsock::sckClosed));
    // The handler checks the peer after closing the listener.
    QCOMPARE(listener.RemoteHostIP(), QStringLiteral("127.0.0.1"));
    QVERIFY(listener.Accept(id));
    QCOMPARE(listener.State(), int(Winsock::sckConnected));
    QCOMPARE(listener.RemoteHostIP(), QStringLiteral("127.0.0.1"));
}

void tst_Winsock::carries_one_connection_in_both_directions_8bit_clean()
{
    Winsock listener;
    QVERIFY(listener.Listen());
    auto client = acceptClient(listener);
    QVERIFY(client);

    QByteArray everyByte;
    for (int i = 0; i < 256; ++i)
        everyByte += char(i);
    QVERIFY(listener.SendData(everyByte));
    QCOMPARE(readUntil(*client, everyByte.size()), everyByte);

    // A command split over several segments arrives whole in the end.
    QSignalSpy arrivals(&listener, &Winsock::DataArrival);
    QByteArray received;
    for (const QByteArray &piece : {QByteArray("RE"), QByteArray("TR 1"), QByteArray("\r\n") + everyByte}) {
        client->write(piece);
        client->flush();
        QVERIFY(arrivals.wait(5000));
        QVERIFY(arrivals.last().first().toLongLong() > 0);
        received += listener.GetData();
    }
    QTRY_COMPARE_WITH_TIMEOUT((received += listener.GetData()), QByteArray("RETR 1\r\n") + everyByte, 5000);
    QCOMPARE(listener.GetData(), QByteArray());
}

// The owner never holds more than the read-ahead limit in one piece, and
// nothing is lost: the rest waits in the system until it is taken.
void tst_Winsock::a_flooding_peer_is_read_no_faster_than_taken()
{
    Winsock listener;
    QVERIFY(listener.Listen());
    auto client = acceptClient(listener);
    QVERIFY(client);

    QByteArray flood(8 * Winsock::MaxReadAheadBytes, '\0');
    for (qsizetype i = 0; i < flood.size(); ++i)
        flood[i] = char(i * 7 + i / 4093);
    client->write(flood);
    QSignalSpy arrivals(&listener, &Winsock::DataArrival);
    QByteArray received;
    qint64 largestPiece = 0;
    while (received.size() < flood.size()) {
        if (arrivals.isEmpty() && !arrivals.wait(5000))
            break;
        arrivals.clear();
        const QByteArray piece = listener.GetData();
        largestPiece = qMax(largestPiece, qint64(piece.size()));
        received += piece;
    }
    QCOMPARE(received.size(), flood.size());
    QVERIFY(received == flood);
    QVERIFY(largestPiece <= Winsock::MaxReadAheadBytes);
}

void tst_Winsock::send_complete_follows_the_written_bytes()
{
    Winsock listener;
    QVERIFY(listener.Listen());
    auto client = acceptClient(listener);
    QVERIFY(client);

    QSignalSpy complete(&listener, &Winsock::SendComplete);
    const QByteArray big(4 * 1024 * 1024, 'm');
    QVERIFY(listener.SendData(big));
    // Never from inside SendData: the caller sets its state after sending.
    QCOMPARE(complete.count(), 0);
    const QByteArray received = readUntil(*client, big.size());
    QCOMPARE(received.size(), big.size());
    QTRY_COMPARE_WITH_TIMEOUT(complete.count(), 1, 5000);

    // An empty send sends nothing and completes nothing.
    QVERIFY(listener.SendData(QByteArray()));
    QVERIFY(listener.SendData("+OK\r\n\r\n"));
    QCOMPARE(readUntil(*client, 7), QByteArray("+OK\r\n\r\n"));
    QTRY_COMPARE_WITH_TIMEOUT(complete.count(), 2, 5000);
}

// A reply is on its way when SendData returns, not on a later turn of the
// event loop, and a short reply behind a long one does not wait for the
// peer's acknowledgement (the connection sends without delay).
void tst_Winsock::a_reply_leaves_inside_send_data_without_delay()
{
    Winsock listener;
    QVERIFY(listener.Listen());
    auto client = acceptClient(listener);
    QVERIFY(client);

    const QList<QTcpSocket *> carried = listener.findChildren<QTcpSocket *>();
    QCOMPARE(carried.size(), 1);
    QCOMPARE(carried.first()->socketOption(QAbstractSocket::LowDelayOption).toInt(), 1);

    QSignalSpy complete(&listener, &Winsock::SendComplete);
    QVERIFY(listener.SendData("+OK 5 octets\r\n"));
    QVERIFY(listener.SendData("hello\r\n.\r\n"));
    // The client waits on its own socket only: the listener's event loop
    // does not run meanwhile.
    const QByteArray expected("+OK 5 octets\r\nhello\r\n.\r\n");
    QByteArray received;
    while (received.size() < expected.size() && client->waitForReadyRead(5000))
        received += client->readAll();
    QCOMPARE(received, expected);
    QCOMPARE(complete.count(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(complete.count(), 1, 5000);
}

void tst_Winsock::does_not_listen_while_carrying_a_connection()
{
    Winsock listener;
    QVERIFY(listener.Listen());
    const quint16 port = listener.LocalPort();
    auto first = acceptClient(listener);
    QVERIFY(first);

    QSignalSpy requests(&listener, &Winsock::ConnectionRequest);
    QTcpSocket second;
    QSignalSpy refused(&second, &QTcpSocket::errorOccurred);
    second.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(refused.wait(5000));
    QCOMPARE(second.error(), QAbstractSocket::ConnectionRefusedError);
    QCOMPARE(requests.count(), 0);
    QCOMPARE(listener.State(), int(Winsock::sckConnected));
}

void tst_Winsock::peer_close_leaves_state_8_until_closed_and_listening_again()
{
    Winsock listener;
    QVERIFY(listener.Listen());
    const quint16 port = listener.LocalPort();
    auto client = acceptClient(listener);
    QVERIFY(client);
    QVERIFY(client->waitForConnected(5000));

    QSignalSpy arrivals(&listener, &Winsock::DataArrival);
    QSignalSpy closed(&listener, &Winsock::PeerClosed);
    // The owner hears of the close after what was sent before it.
    connect(&listener, &Winsock::PeerClosed, this, [&] { QCOMPARE(arrivals.count(), 1); });
    client->write("bye without QUIT\r\n");
    client->disconnectFromHost();
    QVERIFY(closed.wait(5000));
    QCOMPARE(listener.State(), int(Winsock::sckClosing));
    // What the peer sent before closing can still be read.
    QCOMPARE(listener.GetData(), QByteArray("bye without QUIT\r\n"));
    QCOMPARE(closed.count(), 1);
    QVERIFY(!listener.SendData("+OK\r\n"));

    listener.Close();
    QCOMPARE(listener.State(), int(Winsock::sckClosed));
    QVERIFY(listener.Listen());
    QCOMPARE(listener.LocalPort(), port);
    auto next = acceptClient(listener);
    QVERIFY(next);
    QCOMPARE(listener.State(), int(Winsock::sckConnected));
}

// A peer that does not read: what it leaves unread stays queued, and as
// it reads the owner hears how much went out and how much still waits.
void tst_Winsock::send_progress_follows_the_peer_reading()
{
    Winsock listener;
    QVERIFY(listener.Listen());
    auto client = acceptClient(listener);
    QVERIFY(client);
    QVERIFY(client->waitForConnected(5000));
    client->setReadBufferSize(1024);
    QSignalSpy progress(&listener, &Winsock::SendProgress);
    const QByteArray piece(1024 * 1024, 'x');
    // Far more than the system buffers between the two ends take.
    qint64 queued = 0;
    for (int i = 0; i < 64 && queued == 0; ++i) {
        QVERIFY(listener.SendData(piece));
        QTRY_VERIFY_WITH_TIMEOUT(listener.BytesToWrite() > 0 || progress.count() > i, 5000);
        queued = listener.BytesToWrite();
    }
    QVERIFY(queued > 0);

    client->setReadBufferSize(0);
    QSignalSpy complete(&listener, &Winsock::SendComplete);
    qint64 sentReported = 0;
    connect(&listener, &Winsock::SendProgress, this, [&](qint64 sent, qint64 remaining) {
        sentReported += sent;
        QCOMPARE(remaining, listener.BytesToWrite());
    });
    // Unlimited, the client's socket takes everything as events run.
    QTRY_VERIFY_WITH_TIMEOUT(listener.BytesToWrite() == 0 && complete.count() == 1, 20000);
    QVERIFY(sentReported >= queued);
    QCOMPARE(progress.last().at(1).toLongLong(), 0);
}

void tst_Winsock::a_request_not_accepted_is_dropped_when_listening_again()
{
    Winsock listener;
    QVERIFY(listener.Listen());
    qintptr id = 0;
    auto rejected = connectClient(listener, &id);
    QVERIFY(rejected);
    QVERIFY(rejected->waitForConnected(5000));
    QSignalSpy dropped(rejected.get(), &QTcpSocket::disconnected);
    listener.Close();
    QVERIFY(listener.Listen());
    QVERIFY(dropped.wait(5000));
    QCOMPARE(rejected->bytesAvailable(), 0);
    // The dropped request cannot be accepted any more; the next one can.
    QVERIFY(!listener.Accept(id));
    auto next = acceptClient(listener);
    QVERIFY(next);
    QCOMPARE(listener.State(), int(Winsock::sckConnected));
}

void tst_Winsock::data_sent_before_accepting_is_announced_after_accepting()
{
    Winsock listener;
    QVERIFY(listener.Listen());
    // The client speaks first: its bytes reach the pending connection
    // before the request is accepted, and must be announced once it is.
    QSignalSpy requests(&listener, &Winsock::ConnectionRequest);
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, listener.LocalPort());
    client.write("USER early\r\n");
    QVERIFY(requests.wait(5000));
    const QTcpSocket *pending = listener.findChild<QTcpSocket *>();
    QVERIFY(pending);
    QTRY_COMPARE_WITH_TIMEOUT(pending->bytesAvailable(), qint64(12), 5000);
    listener.Close();
    QSignalSpy arrivals(&listener, &Winsock::DataArrival);
    QVERIFY(listener.Accept(requests.first().first().value<qintptr>()));
    QVERIFY(arrivals.wait(5000));
    QCOMPARE(listener.GetData(), QByteArray("USER early\r\n"));
}

// A handler that waits for the service lets events run; meanwhile the peer
// goes, the connection is closed (as the watchdog does) and deleted. The
// handler then returns: nothing of the deleted connection may be under it.
void tst_Winsock::a_handler_may_end_the_connection_and_let_events_run_data()
{
    QTest::addColumn<bool>("onSendComplete");
    QTest::newRow("DataArrival") << false;
    QTest::newRow("SendComplete") << true;
}

void tst_Winsock::a_handler_may_end_the_connection_and_let_events_run()
{
    QFETCH(bool, onSendComplete);
    Winsock listener;
    QVERIFY(listener.Listen());
    auto client = acceptClient(listener);
    QVERIFY(client);
    QVERIFY(client->waitForConnected(5000));

    int handled = 0;
    const auto endAndWait = [&] {
        if (handled++)
            return;
        listener.GetData();
        client->abort();
        QTRY_COMPARE_WITH_TIMEOUT(listener.State(), int(Winsock::sckClosing), 5000);
        listener.Close();
        QTest::qWait(50); // deferred deletions run here
        QVERIFY(listener.Listen());
    };
    if (onSendComplete) {
        connect(&listener, &Winsock::SendComplete, this, endAndWait);
        QVERIFY(listener.SendData("+OK\r\n"));
    } else {
        connect(&listener, &Winsock::DataArrival, this, endAndWait);
        client->write("USER going\r\n");
    }
    QTRY_COMPARE_WITH_TIMEOUT(handled, 1, 5000);
    QCOMPARE(listener.State(), int(Winsock::sckListening));
    disconnect(&listener, nullptr, this, nullptr);
    auto next = acceptClient(listener);
    QVERIFY(next);
    QCOMPARE(listener.State(), int(Winsock::sckConnected));
}

// Bytes that arrive while a DataArrival handler waits are announced again,
// and a close of the peer is seen, without the handler returning first.
void tst_Winsock::lines_sent_while_a_handler_waits_are_announced()
{
    Winsock listener;
    QVERIFY(listener.Listen());
    auto client = acceptClient(listener);
    QVERIFY(client);
    QVERIFY(client->waitForConnected(5000));

    QByteArray seenInside;
    int depth = 0;
    bool closeSeenInside = false;
    connect(&listener, &Winsock::DataArrival, this, [&] {
        const QByteArray bytes = listener.GetData();
        if (depth > 0) {
            seenInside += bytes;
            return;
        }
        ++depth;
        client->write("NOOP\r\n");
        client->disconnectFromHost();
        closeSeenInside = QTest::qWaitFor([&] { return listener.State() == Winsock::sckClosing; }, 5000);
        --depth;
    });
    client->write("STAT\r\n");
    QTRY_COMPARE_WITH_TIMEOUT(seenInside, QByteArray("NOOP\r\n"), 5000);
    QTRY_VERIFY_WITH_TIMEOUT(closeSeenInside, 5000);
}

void tst_Winsock::request_waits_for_a_handler_to_be_connected()
{
    Winsock listener;
    QVERIFY(listener.Listen());
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, listener.LocalPort());
    QVERIFY(client.waitForConnected(5000));
    // The listener takes the connection in while nobody handles requests.
    const QTcpServer *server = listener.findChild<QTcpServer *>();
    QVERIFY(server);
    QTRY_VERIFY_WITH_TIMEOUT(server->hasPendingConnections(), 5000);
    QSignalSpy requests(&listener, &Winsock::ConnectionRequest);
    QVERIFY(requests.wait(5000));
    QCOMPARE(requests.count(), 1);
    QCOMPARE(listener.RemoteHostIP(), QStringLiteral("127.0.0.1"));
}

void tst_Winsock::port_held_by_another_program_gives_10048()
{
    QTcpServer other;
    QVERIFY(other.listen(QHostAddress::AnyIPv4, 0));
    Winsock listener;
    listener.SetLocalPort(other.serverPort());
    QVERIFY(!listener.Listen());
    QCOMPARE(listener.LastError(), Winsock::sckAddressInUse);
    QCOMPARE(listener.LastErrorDescription(), qt_error_string(EADDRINUSE));
    QVERIFY(!listener.LastErrorDescription().isEmpty());
    QCOMPARE(listener.State(), int(Winsock::sckError));
    // The close-and-wait loops end: Close always reaches state 0.
    listener.Close();
    QCOMPARE(listener.State(), int(Winsock::sckClosed));
    other.close();
    QVERIFY(listener.Listen());
}

void tst_Winsock::operations_in_the_wrong_state_fail_with_an_error()
{
    Winsock listener;
    QVERIFY(!listener.SendData("x"));
    QCOMPARE(listener.LastError(), Winsock::sckBadState);
    QCOMPARE(listener.GetData(), QByteArray());
    QVERIFY(!listener.Accept(12345));
    QVERIFY(listener.Listen());
    QVERIFY(!listener.Listen());
    QCOMPARE(listener.LastError(), Winsock::sckInvalidOp);
    QCOMPARE(listener.State(), int(Winsock::sckListening));
}

QTEST_GUILESS_MAIN(tst_Winsock)
#include "tst_Winsock.moc"
