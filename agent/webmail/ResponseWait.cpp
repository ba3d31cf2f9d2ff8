#include "ResponseWait.h"

#include "EventWait.h"
#include "XmlHttpRequest.h"

#include <QPointer>

namespace {
constexpr int ReadyStateOpened = 1;
constexpr int ReadyStateComplete = 4;
} // namespace

bool ResponseWait::WaitForResponse(XmlHttpRequest &request)
{
    QPointer<XmlHttpRequest> guard(&request);
    m_lastWaitPolls = 0;
    m_lastWaitPollsBeforeAnswer = 0;
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
        if (request.readyState() == ReadyStateOpened) {
            ++m_lastWaitPollsBeforeAnswer;
            units += UnitsPerPollBeforeAnswer;
        } else {
            units += UnitsPerPollAfterAnswerBegan;
        }
        if (units > GiveUpAfterUnits) {
            request.abort();
            return false;
        }
    }
}

void ResponseWait::RunOnePoll(XmlHttpRequest &request)
{
    const QPointer<XmlHttpRequest> guard(&request);
    EventWait::until(&request, &XmlHttpRequest::readyStateChanged, m_pollIntervalMs,
                     [guard] { return !guard || guard->readyState() >= ReadyStateComplete; });
}
