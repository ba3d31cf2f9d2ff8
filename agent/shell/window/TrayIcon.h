#pragma once

#include "TrayStatus.h"

#include <QObject>
#include <QSystemTrayIcon>

class QMenu;
class QAction;

// The agent's icon in the notification area: it shows what TrayData last
// sent (icon and tip) and offers "Restore" and "Exit". A left click or a
// double click restores the window, a right click opens the menu, anything
// else does nothing.
class TrayIcon : public QObject
{
    Q_OBJECT
public:
    explicit TrayIcon(TrayStatus &trayData, QObject *parent = nullptr);
    ~TrayIcon() override;

    // Adds the icon to the notification area with TrayData's icon and tip.
    void add();
    // Deletes the icon; no update is shown after this.
    void remove();

    bool isAdded() const;
    QString toolTip() const;
    QMenu *menu() const { return mPopupSys; }
    QAction *restoreAction() const { return mPopRestore; }
    QAction *exitAction() const { return mPopExit; }

    // What an activation of the icon does (public so the outcomes can be
    // checked without a real notification area).
    void handleActivation(QSystemTrayIcon::ActivationReason reason);

signals:
    void restoreRequested();
    void exitRequested();

private:
    const QIcon &iconFor(TrayStatus::Icon icon) const;
    void show(TrayStatus::Icon icon, const QString &tip);

    TrayStatus &m_trayData;
    // Painted once: a front end changes the status at every command.
    QIcon m_program;
    QIcon m_busy;
    QIcon m_terminating;
    QSystemTrayIcon m_icon;
    QMenu *mPopupSys;
    QAction *mPopRestore;
    QAction *mPopExit;
    bool m_removed = false;
};
