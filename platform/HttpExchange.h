#pragma once

#include "CurlEventLoop.h"
#include "HttpTransfer.h"

#include <QPointer>

#include <functional>
#include <memory>

// One request driven by the calling thread's event loop, from sending to the
// complete answer. It reports "the answer has begun" (headers or first body
// bytes), "more body arrived" and "complete" (answer whole, or failed)
// through callbacks, always from the event loop and never from inside
// libcurl; after cancel() it reports nothing more. A callee may cancel or
// delete the exchange from any of them.
class HttpExchange : private CurlEventLoop::Client
{
public:
    using Notify = std::function<void()>;

    HttpExchange(HttpRequestSpec spec, Notify answerBegun, Notify completed);
    ~HttpExchange();
    HttpExchange(const HttpExchange &) = delete;
    HttpExchange &operator=(const HttpExchange &) = delete;

    // Sends the request. A request that cannot even be sent (bad address,
    // unknown scheme, a header that would break the request ...) completes
    // before start() returns.
    void start();
    // Stops the transfer without reporting anything; its connection is
    // closed if the answer was not over.
    void cancel();

    bool isComplete() const { return m_complete; }
    const HttpAnswer &answer() const { return m_transfer.answer(); }
    HttpAnswer takeAnswer() { return m_transfer.takeAnswer(); }

    // Called each time more of the body has arrived; the callee may take it
    // with takeBodySoFar() or cancel the exchange.
    void setBodyGrew(Notify bodyGrew) { m_bodyGrew = std::move(bodyGrew); }
    QByteArray takeBodySoFar() { return m_transfer.takeBodySoFar(); }
    void setReceiveWindow(qint64 bytes) { m_transfer.setReceiveWindow(bytes); }
    // Whether the status line has arrived: answer().status is the server's.
    bool hasStatus() const { return m_transfer.hasStatus(); }

private:
    void transferProgressed() override;
    bool hasNews() const override { return m_transfer.hasNews(); }
    void transferDone(CURLcode result) override;
    // Reports, once, that the answer has begun; false when the callee
    // deleted the exchange.
    bool reportBegun();
    void leaveLoop();
    void complete();

    HttpTransfer m_transfer;
    Notify m_answerBegun;
    Notify m_completed;
    Notify m_bodyGrew;
    QPointer<CurlEventLoop> m_loop; // while the transfer is in it
    bool m_complete = false;
    // Expires with the exchange: tells a report whether its callee deleted it.
    std::shared_ptr<int> m_life = std::make_shared<int>(0);
};
