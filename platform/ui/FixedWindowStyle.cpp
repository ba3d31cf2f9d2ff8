#include "FixedWindowStyle.h"

#include <QEvent>
#include <QTimer>
#include <QWidget>

namespace {

constexpr Qt::WindowStates LargerStates = Qt::WindowMaximized | Qt::WindowFullScreen;

class StateKeeper : public QObject
{
public:
    explicit StateKeeper(QWidget *window)
        : QObject(window)
        , m_window(window)
    {
        window->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        // Undone once the state change is through, not from inside it.
        if (watched == m_window && event->type() == QEvent::WindowStateChange
            && (m_window->windowState() & LargerStates))
            QTimer::singleShot(0, m_window, [window = m_window] {
                if (window->windowState() & LargerStates)
                    window->setWindowState(window->windowState() & ~LargerStates);
            });
        return QObject::eventFilter(watched, event);
    }

private:
    QWidget *m_window;
};

} // namespace

namespace FixedWindowStyle {

void Apply(QWidget *window)
{
    window->setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                           | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint
                           | Qt::MSWindowsFixedSizeDialogHint);
    new StateKeeper(window);
}

} // namespace FixedWindowStyle
