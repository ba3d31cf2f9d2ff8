#pragma once

#include "MaildirFolder.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

// Stores one submission in several Maildirs at once, whole or not at all:
// every copy is written to its folder's tmp/ first, and only when all are
// written are they renamed into new/ (or cur/ when stored as read).
class MaildirDelivery
{
public:
    MaildirDelivery() = default;
    MaildirDelivery(const MaildirDelivery &) = delete;
    MaildirDelivery &operator=(const MaildirDelivery &) = delete;
    ~MaildirDelivery(); // removes whatever was staged and not committed

    bool stage(const MaildirFolder &folder, QByteArrayView bytes, bool read, QString *error);
    // The same with the copy's bytes given as pieces in order.
    bool stage(const MaildirFolder &folder, const QList<QByteArrayView> &pieces, bool read, QString *error);
    // Renames every staged copy into place; on a failure the copies already
    // placed are removed again.
    bool commit(QString *error);
    void rollback();

    // A Maildir unique part no other delivery of this host uses:
    // "<seconds>.M<microseconds>P<pid>Q<count>.<host>".
    static QByteArray newUniquePart();

private:
    struct Staged
    {
        MaildirFolder folder;
        QString tmpPath;
        QString finalPath;
        bool placed = false;
    };
    static bool place(const Staged &staged, QString *error);

    QList<Staged> m_staged;
};
