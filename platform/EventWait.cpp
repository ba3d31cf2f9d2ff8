#include "EventWait.h"

#include <QCoreApplication>

void EventWait::processPendingOnce()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

EventWait::EventWait(std::function<bool()> done)
    : m_done(std::move(done))
{
    m_limit.setSingleShot(true);
    QObject::connect(&m_limit, &QTimer::timeout, &m_loop, [this] {
        m_timedOut = true;
        m_loop.quit();
    });
}

bool EventWait::run(int timeoutMs)
{
    m_timedOut = false;
    if (isDone())
        return true;
    m_limit.start(timeoutMs);
    m_loop.exec();
    m_limit.stop();
    return isDone();
}

void EventWait::endOnDestruction(const QObject *sender)
{
    QObject::connect(sender, &QObject::destroyed, &m_loop, [this] { m_loop.quit(); });
}
