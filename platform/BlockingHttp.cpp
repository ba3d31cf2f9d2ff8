#include "BlockingHttp.h"

#include <QCoreApplication>
#include <QMutex>
#include <QMutexLocker>
#include <QObject>
#include <QSemaphore>
#include <QThread>

#include <memory>

namespace {

struct BlockingJob
{
    HttpRequestSpec spec;
    HttpAnswer answer;
    QSemaphore done;
};

// The private thread the blocking requests run on, started at the first one
// and stopped when the application object goes.
class BlockingThread
{
public:
    static QObject *context()
    {
        QMutexLocker lock(&s_mutex);
        if (!s_thread) {
            s_thread = new QThread;
            s_thread->setObjectName(QStringLiteral("BlockingHttp"));
            s_context = new QObject;
            s_context->moveToThread(s_thread);
            s_thread->start();
            qAddPostRoutine(stop);
        }
        return s_context;
    }

private:
    static void stop()
    {
        QMutexLocker lock(&s_mutex);
        if (!s_thread)
            return;
        s_thread->quit();
        s_thread->wait();
        // The thread's network access went with the thread; what is left
        // of the context can go from here now that its thread has ended.
        delete s_context;
        delete s_thread;
        s_context = nullptr;
        s_thread = nullptr;
    }

    static inline QMutex s_mutex;
    static inline QThread *s_thread = nullptr;
    static inline QObject *s_context = nullptr;
};

} // namespace

HttpAnswer BlockingHttp::run(const HttpRequestSpec &spec)
{
    if (!QCoreApplication::instance() || QCoreApplication::closingDown()) {
        HttpAnswer none;
        none.status = NetworkCode::ShuttingDown;
        return none;
    }
    auto job = std::make_shared<BlockingJob>();
    job->spec = spec;
    QObject *context = BlockingThread::context();
    QMetaObject::invokeMethod(context, [job, context] {
        auto exchange = std::make_shared<HttpExchange *>(nullptr);
        *exchange = new HttpExchange(job->spec, nullptr, [job, exchange] {
            job->answer = (*exchange)->takeAnswer();
            (*exchange)->deleteLater();
            job->done.release();
        }, context);
        (*exchange)->start();
    }, Qt::QueuedConnection);
    job->done.acquire();
    return job->answer;
}
