#include "ResponseWait.h"

#include "ProgramQuit.h"
#include "XmlHttpRequest.h"

#include <QCoreApplication>
#include <QPointer>
#include <QTimer>

namespace {

constexpr int ReadyStateOpened = 1;
constexpr int ReadyStateComplete = 4;

} // namespace

bool ResponseWait::WaitForResponse(XmlHttpRequest &request)
{
    QPointer<XmlHttpRequest> guard(&request);
    ProgramQuit::Watch();
    m_lastWaitPolls = 0;
    m_lastWaitPollsBeforeAnswer = 0;
    int units = 0;
    for (;;) {
        if (!guard)
            return false; // the request went away under us: nothing to await
        if (request.readyState() >= ReadyStateComplete)
            return true;
        // The agent is ending: no answer is awaited any more.
        if (ProgramQuit::Heard()) {
            request.abort();
            return false;
        }
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

// The thread sleeps in the event dispatcher between events, and the request
// is looked at after each turn of them. Ending the poll needs no wake-up of
// its own (quitting a nested event loop costs one on every request).
void ResponseWait::RunOnePoll(XmlHttpRequest &request)
{
    const QPointer<XmlHttpRequest> guard(&request);
    const auto over = [&guard] { return !guard || guard->readyState() >= ReadyStateComplete; };
    bool pollEnded = false;
    QTimer pollEnd;
    pollEnd.setSingleShot(true);
    QObject::connect(&pollEnd, &QTimer::timeout, [&pollEnded] { pollEnded = true; });
    pollEnd.start(m_pollIntervalMs);
    while (!over() && !pollEnded && !ProgramQuit::Heard())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}
