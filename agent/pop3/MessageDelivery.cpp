#include "MessageDelivery.h"

#include "Winsock.h"
#include "XmlHttpRequest.h"

namespace {
// readyState of a request whose answer is complete (or that failed).
constexpr int ReadyStateComplete = 4;
} // namespace

MessageDelivery::MessageDelivery(Winsock &wskPop, QObject *parent)
    : QObject(parent)
    , m_wskPop(wskPop)
{
    m_tmRetrieve.setInterval(KeepAliveIntervalMs);
    connect(&m_tmRetrieve, &QTimer::timeout, this, &MessageDelivery::tmRetrieveTick);
    // The client has read some of what waits for it: there may be room for
    // more of the text.
    connect(&m_wskPop, &Winsock::SendProgress, this, &MessageDelivery::forwardArrivedText);
}

MessageDelivery::~MessageDelivery()
{
    Abort();
}

bool MessageDelivery::IsActive() const
{
    return m_tmRetrieve.isActive();
}

bool MessageDelivery::clientConnected() const
{
    return m_wskPop.State() == Winsock::sckConnected;
}

void MessageDelivery::Start(std::unique_ptr<XmlHttpRequest> download)
{
    Abort();
    if (!download)
        return;
    m_download = std::move(download);
    m_text = StuffedStream();
    connect(m_download.get(), &XmlHttpRequest::readyStateChanged, this, &MessageDelivery::downloadStateChanged);
    connect(m_download.get(), &XmlHttpRequest::responseTextGrew, this, &MessageDelivery::forwardArrivedText);
    m_download->setReceiveWindow(ReceiveWindowBytes);
    m_tmRetrieve.start();
    // A download that finished before we took it over signals nothing more.
    if (m_download->readyState() >= ReadyStateComplete)
        QMetaObject::invokeMethod(this, &MessageDelivery::completeIfDone, Qt::QueuedConnection);
}

bool MessageDelivery::Abort()
{
    if (!m_download) {
        m_tmRetrieve.stop();
        return false;
    }
    m_tmRetrieve.stop();
    disconnect(m_download.get(), nullptr, this, nullptr);
    if (m_download->readyState() < ReadyStateComplete)
        m_download->abort();
    dropDownload();
    return true;
}

void MessageDelivery::dropDownload()
{
    // The request may be inside its own signal: delete it from the loop.
    if (m_download) {
        disconnect(m_download.get(), nullptr, this, nullptr);
        m_download.release()->deleteLater();
    }
}

void MessageDelivery::tmRetrieveTick()
{
    if (!m_download)
        return;
    if (!clientConnected()) {
        Abort();
        emit Finished(Outcome::ClientGone);
        return;
    }
    if (m_download->readyState() >= ReadyStateComplete) {
        completeIfDone();
        return;
    }
    // Once the text flows, a keep-alive line would land inside the message.
    if (!m_text.hasStarted())
        m_wskPop.SendData(KeepAliveLine);
}

// An error page is not the user's mail: nothing of it reaches the client.
bool MessageDelivery::answerIsMessage() const
{
    bool known = false;
    const int status = m_download->answerStatus(&known);
    return known && status >= 200 && status <= 299;
}

bool MessageDelivery::clientBehind() const
{
    return m_wskPop.BytesToWrite() >= MaxQueuedToClientBytes;
}

// The text goes on as it arrives, so the client receives a large message
// while it is still being fetched, and it is never held whole: what the
// client has not read stays below the limit, and what the download holds
// meanwhile below its window.
void MessageDelivery::forwardArrivedText()
{
    if (!m_download || !clientConnected() || m_download->readyState() >= ReadyStateComplete)
        return;
    bool known = false;
    m_download->answerStatus(&known);
    if (!known)
        return;
    if (!answerIsMessage()) {
        // Nothing of an error page reaches the client; taking it lets the
        // download run to its end, where it counts as failed.
        m_download->takeResponseText();
        return;
    }
    if (clientBehind())
        return;
    QByteArray piece = m_download->takeResponseText();
    if (!piece.isEmpty())
        m_wskPop.SendData(m_text.stuff(std::move(piece)));
}

void MessageDelivery::downloadStateChanged(int readyState)
{
    // Finished may end the connection and wait for it to close, letting
    // events run; the request whose notification this is must not be under
    // that wait when it is let go, so the end runs from the event loop.
    if (readyState >= ReadyStateComplete)
        QMetaObject::invokeMethod(this, &MessageDelivery::completeIfDone, Qt::QueuedConnection);
}

void MessageDelivery::completeIfDone()
{
    if (!m_download || m_download->readyState() < ReadyStateComplete)
        return;
    m_tmRetrieve.stop();
    if (!clientConnected()) {
        dropDownload();
        emit Finished(Outcome::ClientGone);
        return;
    }
    // An error page or a broken transfer is not the user's mail; what went
    // out of it already ends without the terminating line.
    if (!answerIsMessage()) {
        dropDownload();
        emit Finished(Outcome::Failed);
        return;
    }
    m_wskPop.SendData(m_text.finish(m_download->takeResponseText()));
    dropDownload();
    emit Finished(Outcome::Delivered);
}
