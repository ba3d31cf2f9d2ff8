#include "ProgramQuit.h"

#include <QCoreApplication>
#include <QEvent>

namespace {

const QString FilterName = QStringLiteral("ProgramQuit");

class QuitFilter : public QObject
{
public:
    explicit QuitFilter(QObject *parent)
        : QObject(parent)
    {
        setObjectName(FilterName);
    }
    bool heard = false;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Quit && watched == QCoreApplication::instance())
            heard = true;
        return false;
    }
};

// A child of the application: it lives and goes with the application, and
// nothing of it outlives a test's.
QuitFilter *filterOf(const QCoreApplication *application)
{
    if (!application)
        return nullptr;
    return dynamic_cast<QuitFilter *>(application->findChild<QObject *>(FilterName, Qt::FindDirectChildrenOnly));
}

} // namespace

void ProgramQuit::Watch()
{
    QCoreApplication *application = QCoreApplication::instance();
    if (!application || filterOf(application))
        return;
    application->installEventFilter(new QuitFilter(application));
}

bool ProgramQuit::Heard()
{
    const QuitFilter *filter = filterOf(QCoreApplication::instance());
    return filter && filter->heard;
}
