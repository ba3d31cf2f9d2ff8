#include "SystemCloseRequest.h"

#include <QSocketNotifier>

#ifndef Q_OS_WIN
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {
#ifndef Q_OS_WIN
int closePipe[2] = {-1, -1};

extern "C" void onCloseSignal(int)
{
    const int savedErrno = errno;
    const char byte = 1;
    // Nothing else is safe in a signal handler; a full pipe already holds
    // a request.
    [[maybe_unused]] const ssize_t written = ::write(closePipe[1], &byte, 1);
    errno = savedErrno;
}
#endif
} // namespace

SystemCloseRequest::SystemCloseRequest(QObject *parent)
    : QObject(parent)
{
#ifndef Q_OS_WIN
    if (closePipe[0] < 0 && ::pipe2(closePipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    struct sigaction action = {};
    action.sa_handler = onCloseSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    if (::sigaction(SIGTERM, &action, nullptr) != 0 || ::sigaction(SIGINT, &action, nullptr) != 0)
        return;
    m_notifier = new QSocketNotifier(closePipe[0], QSocketNotifier::Read, this);
    m_notifier->setEnabled(false);
    connect(m_notifier, &QSocketNotifier::activated, this, &SystemCloseRequest::readPipe);
#endif
}

SystemCloseRequest::~SystemCloseRequest()
{
#ifndef Q_OS_WIN
    if (m_notifier) {
        struct sigaction action = {};
        action.sa_handler = SIG_DFL;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGTERM, &action, nullptr);
        ::sigaction(SIGINT, &action, nullptr);
    }
#endif
}

void SystemCloseRequest::startDelivering()
{
    if (m_notifier)
        m_notifier->setEnabled(true);
}

void SystemCloseRequest::readPipe()
{
#ifndef Q_OS_WIN
    char buffer[64];
    while (::read(closePipe[0], buffer, sizeof buffer) > 0) { }
#endif
    emit requested();
}
