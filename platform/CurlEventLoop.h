#pragma once

#include <QHash>
#include <QObject>
#include <QTimer>

#include <curl/curl.h>

#include <unordered_map>

class QSocketNotifier;

// One curl multi handle driven by the calling thread's event loop: libcurl
// says which sockets to watch and when to wake it, a socket notifier per
// socket and direction and one timer do the watching, and every event goes
// straight back to libcurl. No thread of our own runs a transfer.
//
// Transfers are reported to their clients only after libcurl has returned,
// never from inside its callbacks: a client may then abort, delete or start
// transfers, or run a nested event loop, freely.
class CurlEventLoop : public QObject
{
public:
    class Client
    {
    public:
        // More of the answer may have arrived.
        virtual void transferProgressed() = 0;
        // Whether something arrived that was not reported yet.
        virtual bool hasNews() const = 0;
        // The transfer has ended and left the loop; result is libcurl's.
        virtual void transferDone(CURLcode result) = 0;

    protected:
        ~Client() = default;
    };

    CurlEventLoop();
    ~CurlEventLoop() override;

    // Starts the handle's transfer, sending what can be sent at once; false
    // when libcurl refuses it.
    bool add(CURL *handle, Client *client);
    // Stops the handle's transfer (its connection is closed if the answer
    // was not over); nothing more is reported for it.
    void remove(CURL *handle);

private:
    struct Watch
    {
        QSocketNotifier *read = nullptr;
        QSocketNotifier *write = nullptr;
    };

    static int socketChanged(CURL *handle, curl_socket_t socket, int what, void *loop, void *);
    static int timerChanged(CURLM *multi, long timeoutMilliseconds, void *loop);
    void watch(curl_socket_t socket, int what);
    QSocketNotifier *notifier(curl_socket_t socket, bool write, Watch &watch);
    void act(curl_socket_t socket, int events);
    void collectFinished();
    void reportToClients();

    CURLM *m_multi = nullptr;
    QTimer m_timer;      // libcurl's own
    QTimer m_reportSoon; // reports what finished outside the event loop's turn
    std::unordered_map<curl_socket_t, Watch> m_watches;
    QHash<CURL *, Client *> m_clients;
    QHash<CURL *, CURLcode> m_finished; // done, not yet reported
};
