#include "HttpExchange.h"

#include "NetworkAccess.h"
#include "NetworkCode.h"

#include <QCoreApplication>

#include <utility>

HttpExchange::HttpExchange(HttpRequestSpec spec, Notify answerBegun, Notify completed)
    : m_transfer(std::move(spec))
    , m_answerBegun(std::move(answerBegun))
    , m_completed(std::move(completed))
{
}

HttpExchange::~HttpExchange()
{
    cancel();
}

void HttpExchange::start()
{
    // Without an application object there is no event loop to drive it.
    if (!QCoreApplication::instance() || QCoreApplication::closingDown()) {
        m_transfer.fail(NetworkCode::ShuttingDown);
        complete();
        return;
    }
    NetworkAccess &access = NetworkAccess::forThisThread();
    const int refusal = m_transfer.prepare(access);
    if (refusal != 0) {
        m_transfer.fail(refusal);
        complete();
        return;
    }
    if (!access.eventLoop().add(m_transfer.handle(), this)) {
        m_transfer.fail(NetworkCode::OutOfHandles);
        complete();
        return;
    }
    m_loop = &access.eventLoop();
}

void HttpExchange::cancel()
{
    m_completed = nullptr;
    m_answerBegun = nullptr;
    m_bodyGrew = nullptr;
    leaveLoop();
    m_transfer.abandon();
}

void HttpExchange::leaveLoop()
{
    if (CurlEventLoop *loop = m_loop.data())
        loop->remove(m_transfer.handle());
    m_loop = nullptr;
}

// Each callback is copied before it runs: the callee may cancel or delete
// the exchange, and nothing of it is touched afterwards unless it lives on.
bool HttpExchange::reportBegun()
{
    const Notify begun = m_answerBegun;
    if (!m_transfer.takeBegun() || !begun)
        return true;
    const std::weak_ptr<int> alive = m_life;
    begun();
    return !alive.expired();
}

void HttpExchange::transferProgressed()
{
    if (!reportBegun())
        return;
    if (m_transfer.takeBodyGrew()) {
        if (Notify grew = m_bodyGrew)
            grew();
    }
}

void HttpExchange::transferDone(CURLcode result)
{
    m_loop = nullptr; // the loop let go of the transfer
    if (m_transfer.refusedKeptState(result)) {
        NetworkAccess &access = NetworkAccess::forThisThread();
        if (m_transfer.restartFresh() == 0 && access.eventLoop().add(m_transfer.handle(), this)) {
            m_loop = &access.eventLoop();
            return;
        }
    }
    m_transfer.finish(result);
    // An answer that began and ended between two looks still begins first.
    if (reportBegun())
        complete();
}

void HttpExchange::complete()
{
    m_complete = true;
    m_answerBegun = nullptr;
    m_bodyGrew = nullptr;
    if (Notify completed = std::exchange(m_completed, nullptr))
        completed();
}
