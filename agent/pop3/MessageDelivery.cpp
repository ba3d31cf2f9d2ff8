#include "MessageDelivery.h"

#include "DotStuffing.h"
#include "Winsock.h"
#include "XmlHttpRequest.h"

namespace {
// readyState of a request whose answer is complete (or that failed).
constexpr int ReadyStateComplete = 4;
}

MessageDelivery::MessageDelivery(Winsock &wskPop, QObject *parent)
    : QObject(parent)
    , m_wskPop(wskPop)
{
    m_tmRetrieve.setInterval(KeepAliveIntervalMs);
    connect(&m_tmRetrieve, &QTimer::timeout, this, &MessageDelivery::tmRetrieveTick);
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
    connect(m_download.get(), &XmlHttpRequest::readyStateChanged, this, &MessageDelivery::downloadStateChanged);
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
    m_wskPop.SendData(KeepAliveLine);
}

void MessageDelivery::downloadStateChanged(int readyState)
{
    if (readyState >= ReadyStateComplete)
        completeIfDone();
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
    bool statusKnown = false;
    const int status = m_download->status(&statusKnown);
    // An error page or a broken transfer is not the user's mail.
    if (!statusKnown || status < 200 || status > 299) {
        dropDownload();
        emit Finished(Outcome::Failed);
        return;
    }
    // The body is stuffed where it lies and goes to the socket as it is.
    m_wskPop.SendData(DotStuffing::MessageWithTerminator(m_download->takeResponseText()));
    dropDownload();
    emit Finished(Outcome::Delivered);
}
