#pragma once

#include <QObject>
#include <QString>

// The tray record: the icon and tip of the current status. A status change is
// two steps, as a front end may set the fields at the start of a command and
// send them at its end: set(), then apply(), which emits changed() for the
// tray icon to show.
class TrayStatus : public QObject
{
    Q_OBJECT
public:
    enum class Icon { Program, Busy, Terminating };

    static inline const QString Idle = QStringLiteral("Zorvane Agent | Idle");
    static inline const QString Busy = QStringLiteral("Zorvane Agent | Busy");
    static inline const QString Sending = QStringLiteral("Zorvane Agent | Sending");
    static inline const QString Receiving = QStringLiteral("Zorvane Agent | Receiving");
    static inline const QString Terminating = QStringLiteral("Zorvane Agent | Terminating");

    using QObject::QObject;

    void set(Icon icon, const QString &tip)
    {
        m_icon = icon;
        m_tip = tip;
    }
    // Sends the record to the notification area.
    void apply() { emit changed(m_icon, m_tip); }
    void setAndApply(Icon icon, const QString &tip)
    {
        set(icon, tip);
        apply();
    }

    Icon icon() const { return m_icon; }
    QString tip() const { return m_tip; }

signals:
    void changed(TrayStatus::Icon icon, const QString &tip);

private:
    Icon m_icon = Icon::Program;
    QString m_tip = Idle;
};
