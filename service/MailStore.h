#pragma once

#include "MaildirFolder.h"
#include "WireSizeCache.h"

#include <QByteArray>
#include <QString>

#include <optional>

enum class FolderKind { Inbox, DeletedItems, SentItems };

// The data folder: one Maildir per account under mail/, the Maildir++
// folders for deleted and sent items inside it, and outbox/ for mail to
// other domains. Addresses reaching here are accounts of the accounts file,
// which only holds addresses that are safe as folder names.
class MailStore
{
public:
    // log: where entries that are no messages are said (once each).
    explicit MailStore(QString dataDir, std::function<void(const QString &)> log = {});

    const QString &dataDir() const { return m_dataDir; }
    MaildirFolder folder(const QByteArray &address, FolderKind kind) const;
    MaildirFolder outbox() const;

    static const QList<FolderKind> &allFolders();
    static std::optional<FolderKind> kindForSegment(const QByteArray &segment);
    static QByteArray segmentFor(FolderKind kind);
    static QByteArray displayNameFor(FolderKind kind);

    WireSizeCache &sizes() { return m_sizes; }
    FolderIndexCache &indexes() { return m_indexes; }

private:
    QString m_dataDir;
    WireSizeCache m_sizes;
    FolderIndexCache m_indexes;
    mutable SkippedEntryLog m_skipped;
};
