#include "ResponseWait.h"

#include "XmlHttpRequest.h"

#include <QEventLoop>
#include <QPointer>
#include <QTimer>

namespace {
constexpr int ReadyStateOpened = 1;
constexpr int ReadyStateComplete = 4;
} // namespace

bool ResponseWait::WaitForResponse(XmlHttpRequest &request)
{
    QPointer<XmlHttpRequest> guard(&request);
    m_lastWaitPolls = 0;
    int units = 0;
    for (;;) {
        if (!guard)
            return false; // the request went away under us: nothing to await
        if (request.readyState() >= ReadyStateComplete)
            return true;
        RunOnePoll(request);
        ++m_lastWaitPolls;
        if (!guard)
            return false;
        if (request.readyState() >= ReadyStateComplete)
            return true;
        if (request.readyState() == ReadyStateOpened)
            units += UnitsPerPollBeforeAnswer - UnitsPerPollAfterAnswerBegan;
        units += UnitsPerPollAfterAnswerBegan;
        if (units > GiveUpAfterUnits) {
            request.abort();
            return false;
        }
    }
}

void ResponseWait::RunOnePoll(XmlHttpRequest &request)
{
    QEventLoop loop;
    QTimer poll;
    poll.setSingleShot(true);
    QObject::connect(&poll, &QTimer::timeout, &loop, &QEventLoop::quit);
    QObject::connect(&request, &XmlHttpRequest::readyStateChanged, &loop, [&loop](int state) {
        if (state >= ReadyStateComplete)
            loop.quit();
    });
    QObject::connect(&request, &QObject::destroyed, &loop, &QEventLoop::quit);
    poll.start(m_pollIntervalMs);
    loop.exec();
}
