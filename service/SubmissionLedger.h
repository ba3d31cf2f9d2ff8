#pragma once

#include "HttpMessage.h"

#include <QByteArray>
#include <QHash>
#include <QMutex>
#include <QString>

#include <functional>

// The submissions each account stored, by the identifier its client gave
// them (header X-Zorvane-Submission-Id), so that an attempt repeated because
// its answer was lost on the way is answered with the original success
// instead of being stored again.
//
// Kept in the data folder, one file per account (submissions/<address>),
// one line per stored submission:
//     <seconds since the epoch> <identifier> <SHA-256 of the body> <status> <answer text>
// so a restart of the service keeps them. An identifier is remembered for
// KeepSeconds; older lines are dropped when the file is read.
class SubmissionLedger
{
public:
    // Clients retry within minutes; a day and more covers a machine that
    // slept between an attempt and its retry.
    static constexpr qint64 KeepSeconds = 2 * 24 * 60 * 60;
    // Identifiers remembered per account at most (the oldest go first): an
    // account that submits without end must not grow the service's memory.
    static constexpr qsizetype MaxRememberedPerAccount = 100000;
    static constexpr qsizetype MaxIdBytes = 64;

    // clock: seconds since the epoch; empty for the real clock.
    SubmissionLedger(const QString &dataDir, std::function<qint64()> clock);

    // 1 to MaxIdBytes letters, digits and hyphens: it goes into a file line.
    static bool isUsableId(const QByteArray &id);

    // Runs store for a submission of account that carries id, unless one
    // with that id was stored before: then the earlier answer is given again
    // (409 when the id came with another body). An answer of store in
    // 200..299 is remembered. An empty id just runs store. Submissions are
    // taken one at a time, so two attempts at once cannot both store.
    HttpResponse once(const QByteArray &account, const QByteArray &id, const QByteArray &body,
                      const std::function<HttpResponse()> &store);

private:
    struct Entry
    {
        qint64 storedAt = 0;
        QByteArray digest; // hex
        int status = 0;
        QByteArray answer;
    };
    using Entries = QHash<QByteArray, Entry>;

    Entries &entriesOf(const QByteArray &account);
    Entries load(const QByteArray &account) const;
    bool append(const QByteArray &account, const QByteArray &id, const Entry &entry, QString *error) const;
    void forgetOldest(Entries &entries) const;
    QString fileOf(const QByteArray &account) const;
    qint64 now() const;

    QString m_folder;
    std::function<qint64()> m_clock;
    QMutex m_mutex;
    QHash<QByteArray, Entries> m_accounts; // loaded on first use
};
