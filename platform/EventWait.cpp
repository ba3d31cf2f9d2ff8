#include "EventWait.h"

#include <QCoreApplication>

void EventWait::processPendingOnce()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}
