#pragma once

#include <QObject>

class QSocketNotifier;

// The system's request to close the program (SIGTERM, SIGINT) turned into an
// ordinary event of the one thread: the signal handler only writes a byte to
// a pipe, and requested() is emitted from the event loop.
class SystemCloseRequest : public QObject
{
    Q_OBJECT
public:
    explicit SystemCloseRequest(QObject *parent = nullptr);
    ~SystemCloseRequest() override;

    // False when the signals could not be caught (they then end the process
    // the system's way).
    bool isWatching() const { return m_notifier != nullptr; }

    // The signals are caught from construction on, but requested() is only
    // emitted once this has been called: a request that comes while start-up
    // still lets events run waits until someone is there to act on it.
    void startDelivering();

signals:
    void requested();

private:
    void readPipe();

    QSocketNotifier *m_notifier = nullptr;
};
