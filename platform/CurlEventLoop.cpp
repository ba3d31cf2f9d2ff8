#include "CurlEventLoop.h"

#include <QSocketNotifier>

#include <algorithm>
#include <limits>

CurlEventLoop::CurlEventLoop()
    : m_multi(curl_multi_init())
{
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, [this] { act(CURL_SOCKET_TIMEOUT, 0); });
    m_reportSoon.setSingleShot(true);
    connect(&m_reportSoon, &QTimer::timeout, this, &CurlEventLoop::reportToClients);
    if (!m_multi)
        return;
    curl_multi_setopt(m_multi, CURLMOPT_SOCKETFUNCTION, socketChanged);
    curl_multi_setopt(m_multi, CURLMOPT_SOCKETDATA, this);
    curl_multi_setopt(m_multi, CURLMOPT_TIMERFUNCTION, timerChanged);
    curl_multi_setopt(m_multi, CURLMOPT_TIMERDATA, this);
}

CurlEventLoop::~CurlEventLoop()
{
    if (!m_multi)
        return;
    const QList<CURL *> handles = m_clients.keys();
    for (CURL *handle : handles)
        remove(handle);
    curl_multi_setopt(m_multi, CURLMOPT_SOCKETFUNCTION, nullptr);
    curl_multi_setopt(m_multi, CURLMOPT_TIMERFUNCTION, nullptr);
    curl_multi_cleanup(m_multi);
}

bool CurlEventLoop::add(CURL *handle, Client *client)
{
    if (!m_multi || curl_multi_add_handle(m_multi, handle) != CURLM_OK)
        return false;
    m_clients.insert(handle, client);
    // The request goes out now rather than at the next turn of the event
    // loop. Whatever libcurl finishes meanwhile is reported from the loop,
    // never from inside the caller's add().
    int running = 0;
    curl_multi_socket_action(m_multi, CURL_SOCKET_TIMEOUT, 0, &running);
    collectFinished();
    if (!m_finished.isEmpty()
        || std::any_of(m_clients.cbegin(), m_clients.cend(), [](const Client *c) { return c->hasNews(); }))
        m_reportSoon.start(0);
    return true;
}

void CurlEventLoop::remove(CURL *handle)
{
    if (!m_clients.remove(handle))
        return;
    m_finished.remove(handle);
    curl_multi_remove_handle(m_multi, handle);
}

int CurlEventLoop::socketChanged(CURL *, curl_socket_t socket, int what, void *loop, void *)
{
    static_cast<CurlEventLoop *>(loop)->watch(socket, what);
    return 0;
}

int CurlEventLoop::timerChanged(CURLM *, long timeoutMilliseconds, void *loop)
{
    QTimer &timer = static_cast<CurlEventLoop *>(loop)->m_timer;
    if (timeoutMilliseconds < 0)
        timer.stop();
    else
        timer.start(int(qMin<long>(timeoutMilliseconds, std::numeric_limits<int>::max())));
    return 0;
}

// Notifiers are switched off rather than deleted when libcurl lets go of a
// socket: the next request on a kept connection wants the same socket again,
// and a notifier may be the one whose signal is being handled right now.
void CurlEventLoop::watch(curl_socket_t socket, int what)
{
    Watch &watch = m_watches[socket];
    const bool read = what == CURL_POLL_IN || what == CURL_POLL_INOUT;
    const bool write = what == CURL_POLL_OUT || what == CURL_POLL_INOUT;
    if (read)
        notifier(socket, false, watch)->setEnabled(true);
    else if (watch.read)
        watch.read->setEnabled(false);
    if (write)
        notifier(socket, true, watch)->setEnabled(true);
    else if (watch.write)
        watch.write->setEnabled(false);
}

QSocketNotifier *CurlEventLoop::notifier(curl_socket_t socket, bool write, Watch &watch)
{
    QSocketNotifier *&slot = write ? watch.write : watch.read;
    if (!slot) {
        slot = new QSocketNotifier(qintptr(socket), write ? QSocketNotifier::Write : QSocketNotifier::Read, this);
        const int event = write ? CURL_CSELECT_OUT : CURL_CSELECT_IN;
        connect(slot, &QSocketNotifier::activated, this, [this, socket, event] { act(socket, event); });
    }
    return slot;
}

void CurlEventLoop::act(curl_socket_t socket, int events)
{
    int running = 0;
    curl_multi_socket_action(m_multi, socket, events, &running);
    collectFinished();
    reportToClients();
}

void CurlEventLoop::collectFinished()
{
    int waiting = 0;
    while (CURLMsg *message = curl_multi_info_read(m_multi, &waiting)) {
        if (message->msg == CURLMSG_DONE && m_clients.contains(message->easy_handle))
            m_finished.insert(message->easy_handle, message->data.result);
    }
}

// Clients may add, remove and delete transfers, or run events, while being
// told: each is looked up afresh, and one that went meanwhile is skipped.
void CurlEventLoop::reportToClients()
{
    const QList<CURL *> handles = m_clients.keys();
    for (CURL *handle : handles) {
        Client *client = m_clients.value(handle);
        if (!client)
            continue;
        const auto finished = m_finished.constFind(handle);
        if (finished == m_finished.constEnd()) {
            client->transferProgressed();
            continue;
        }
        const CURLcode result = *finished;
        remove(handle);
        client->transferDone(result);
    }
}
