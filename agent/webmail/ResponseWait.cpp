#include "ResponseWait.h"

#include "XmlHttpRequest.h"

#include <QCoreApplication>
#include <QEvent>
#include <QPointer>
#include <QScopeGuard>
#include <QTimer>

#include <utility>

namespace {

constexpr int ReadyStateOpened = 1;
constexpr int ReadyStateComplete = 4;

} // namespace

// Hears the program's quit while a wait runs. The wait runs events turn by
// turn rather than in a nested event loop, which the quit would have ended.
class ResponseWait::QuitNotice : public QObject
{
public:
    QuitNotice()
    {
        if (QCoreApplication *application = QCoreApplication::instance())
            application->installEventFilter(this);
    }
    bool heard() const { return m_heard; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Quit && watched == QCoreApplication::instance())
            m_heard = true;
        return false;
    }

private:
    bool m_heard = false;
};

bool ResponseWait::WaitForResponse(XmlHttpRequest &request)
{
    QPointer<XmlHttpRequest> guard(&request);
    const QuitNotice quit;
    const QuitNotice *outer = std::exchange(m_quitHeard, &quit);
    const auto restore = qScopeGuard([this, outer] { m_quitHeard = outer; });
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
    while (!over() && !pollEnded && !(m_quitHeard && m_quitHeard->heard()))
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}
