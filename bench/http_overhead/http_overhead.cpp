// Measures what XmlHttpRequest adds to a request over plain loopback HTTP.
// The server answers at once from its own thread; the same keep-alive
// request is timed through a bare socket (the floor), through a network
// access manager used directly (what the library itself costs), through an
// asynchronous XmlHttpRequest awaited on its signal, and through a
// synchronous one.

#include "XmlHttpRequest.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTextStream>
#include <QThread>

#include <ctime>
#include <functional>

namespace {

constexpr int DefaultRequests = 2000;
constexpr int WarmUpRequests = 50; // connections opened, caches filled

// Answers every request on every connection with the same bytes, at once.
class ImmediateServer : public QTcpServer
{
public:
    explicit ImmediateServer(QByteArray answer)
        : m_answer(std::move(answer))
    {
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = nextPendingConnection()) {
                auto *pending = new QByteArray;
                connect(socket, &QTcpSocket::readyRead, socket, [this, socket, pending] {
                    *pending += socket->readAll();
                    qsizetype end;
                    while ((end = pending->indexOf("\r\n\r\n")) >= 0) {
                        pending->remove(0, end + 4);
                        socket->write(m_answer);
                    }
                });
                connect(socket, &QTcpSocket::disconnected, socket, [socket, pending] {
                    delete pending;
                    socket->deleteLater();
                });
            }
        });
    }

private:
    QByteArray m_answer;
};

QByteArray answerWithBody(qsizetype bytes)
{
    return "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " + QByteArray::number(bytes) + "\r\n\r\n"
        + QByteArray(bytes, 'x');
}

// Wall-clock and processor time (all threads of the process, the server's
// included) per request; processor time stays meaningful on a busy machine.
struct Cost
{
    double wallMicroseconds = -1;
    double cpuMicroseconds = -1;
    bool valid() const { return wallMicroseconds >= 0; }
};

Cost costPerRequest(int requests, const std::function<bool()> &oneRequest)
{
    for (int i = 0; i < WarmUpRequests; ++i) {
        if (!oneRequest())
            return {};
    }
    QElapsedTimer clock;
    clock.start();
    const std::clock_t cpuStart = std::clock();
    for (int i = 0; i < requests; ++i) {
        if (!oneRequest())
            return {};
    }
    const double cpu = double(std::clock() - cpuStart) * 1e6 / CLOCKS_PER_SEC / requests;
    return {double(clock.nsecsElapsed()) / 1000.0 / requests, cpu};
}

QString describe(const Cost &cost, const Cost &floor)
{
    auto number = [](double value) { return QString::number(value, 'f', 1); };
    QString text = number(cost.wallMicroseconds) + QLatin1String(" us wall, ") + number(cost.cpuMicroseconds)
        + QLatin1String(" us cpu per request");
    if (&cost != &floor)
        text += QLatin1String(" (+") + number(cost.wallMicroseconds - floor.wallMicroseconds)
            + QLatin1String(" wall, +") + number(cost.cpuMicroseconds - floor.cpuMicroseconds) + QLatin1String(" cpu)");
    return text;
}

bool bareSocketRequest(QTcpSocket &socket, quint16 port, qsizetype answerBytes)
{
    if (socket.state() != QAbstractSocket::ConnectedState) {
        socket.connectToHost(QHostAddress::LocalHost, port);
        if (!socket.waitForConnected(5000))
            return false;
    }
    socket.write("GET /bench HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    qsizetype received = 0;
    while (received < answerBytes) {
        if (!socket.waitForReadyRead(5000))
            return false;
        received += socket.readAll().size();
    }
    return true;
}

bool managerRequest(QNetworkAccessManager &manager, const QUrl &url)
{
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
    QNetworkReply *reply = manager.get(request);
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    if (!reply->isFinished())
        loop.exec();
    const bool ok = reply->error() == QNetworkReply::NoError && !reply->readAll().isEmpty();
    delete reply;
    return ok;
}

bool asynchronousRequest(XmlHttpRequest &request, const QString &url)
{
    request.open("GET", url, true);
    QEventLoop loop;
    auto waiting = QObject::connect(&request, &XmlHttpRequest::readyStateChanged, &loop, [&loop](int state) {
        if (state == 4)
            loop.quit();
    });
    request.send();
    if (request.readyState() != 4)
        loop.exec();
    QObject::disconnect(waiting);
    return request.status() == 200;
}

bool synchronousRequest(XmlHttpRequest &request, const QString &url)
{
    request.open("GET", url, false);
    request.send();
    return request.status() == 200;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    const int requests = argc > 1 ? qMax(1, QByteArray(argv[1]).toInt()) : DefaultRequests;
    QTextStream out(stdout);

    for (const qsizetype bodyBytes : {qsizetype(200), qsizetype(1024 * 1024)}) {
        const QByteArray answer = answerWithBody(bodyBytes);
        QThread serverThread;
        auto *server = new ImmediateServer(answer);
        if (!server->listen(QHostAddress::LocalHost, 0)) {
            out << "cannot listen on loopback\n";
            return 1;
        }
        const quint16 port = server->serverPort();
        server->moveToThread(&serverThread);
        QObject::connect(&serverThread, &QThread::finished, server, &QObject::deleteLater);
        serverThread.start();
        const QString url = QStringLiteral("http://127.0.0.1:%1/bench").arg(port);
        const int rounds = bodyBytes > 4096 ? qMax(1, requests / 10) : requests;

        QTcpSocket socket;
        const Cost bare = costPerRequest(rounds, [&] { return bareSocketRequest(socket, port, answer.size()); });
        QNetworkAccessManager manager;
        const Cost library = costPerRequest(rounds, [&] { return managerRequest(manager, QUrl(url)); });
        XmlHttpRequest request;
        const Cost async = costPerRequest(rounds, [&] { return asynchronousRequest(request, url); });
        const Cost sync = costPerRequest(rounds, [&] { return synchronousRequest(request, url); });

        out << "answer body " << bodyBytes << " bytes, " << rounds << " requests each\n"
            << "  bare socket:            " << describe(bare, bare) << "\n"
            << "  network access manager: " << describe(library, bare) << "\n"
            << "  XmlHttpRequest async:   " << describe(async, bare) << "\n"
            << "  XmlHttpRequest sync:    " << describe(sync, bare) << "\n";
        out.flush();
        serverThread.quit();
        serverThread.wait();
        if (!bare.valid() || !library.valid() || !async.valid() || !sync.valid()) {
            out << "a request failed\n";
            return 1;
        }
    }
    out << "target: under 1000 us added per request\n";
    return 0;
}
