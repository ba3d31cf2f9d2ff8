#include "TrayIcon.h"

#include "TrayArtwork.h"

#include <QMenu>

TrayIcon::TrayIcon(TrayStatus &trayData, QObject *parent)
    : QObject(parent)
    , m_trayData(trayData)
    , m_program(TrayArtwork::IconFor(TrayStatus::Icon::Program))
    , m_busy(TrayArtwork::IconFor(TrayStatus::Icon::Busy))
    , m_terminating(TrayArtwork::IconFor(TrayStatus::Icon::Terminating))
    , mPopupSys(new QMenu(QStringLiteral("Popup Menu")))
{
    mPopRestore = mPopupSys->addAction(QStringLiteral("Restore"));
    mPopExit = mPopupSys->addAction(QStringLiteral("Exit"));
    connect(mPopRestore, &QAction::triggered, this, &TrayIcon::restoreRequested);
    connect(mPopExit, &QAction::triggered, this, &TrayIcon::exitRequested);
    // The right button opens this menu; the notification area does that itself.
    m_icon.setContextMenu(mPopupSys);
    connect(&m_icon, &QSystemTrayIcon::activated, this, &TrayIcon::handleActivation);
    connect(&m_trayData, &TrayStatus::changed, this, &TrayIcon::show);
}

TrayIcon::~TrayIcon()
{
    m_icon.hide();
    delete mPopupSys;
}

void TrayIcon::add()
{
    m_icon.setIcon(iconFor(m_trayData.icon()));
    m_icon.setToolTip(m_trayData.tip());
    m_icon.show();
}

void TrayIcon::remove()
{
    m_removed = true;
    disconnect(&m_trayData, nullptr, this, nullptr);
    m_icon.hide();
}

bool TrayIcon::isAdded() const
{
    return !m_removed && m_icon.isVisible();
}

QString TrayIcon::toolTip() const
{
    return m_icon.toolTip();
}

void TrayIcon::handleActivation(QSystemTrayIcon::ActivationReason reason)
{
    switch (reason) {
    case QSystemTrayIcon::Trigger:
    case QSystemTrayIcon::DoubleClick:
        emit restoreRequested();
        break;
    case QSystemTrayIcon::Context:
    case QSystemTrayIcon::MiddleClick:
    case QSystemTrayIcon::Unknown:
        break;
    }
}

const QIcon &TrayIcon::iconFor(TrayStatus::Icon icon) const
{
    switch (icon) {
    case TrayStatus::Icon::Busy:
        return m_busy;
    case TrayStatus::Icon::Terminating:
        return m_terminating;
    case TrayStatus::Icon::Program:
        break;
    }
    return m_program;
}

void TrayIcon::show(TrayStatus::Icon icon, const QString &tip)
{
    if (m_removed)
        return;
    m_icon.setIcon(iconFor(icon));
    m_icon.setToolTip(tip);
}
