#include "MailStore.h"

#include <QFile>

MailStore::MailStore(QString dataDir, std::function<void(const QString &)> log)
    : m_dataDir(std::move(dataDir))
    , m_skipped(std::move(log))
{
}

MaildirFolder MailStore::folder(const QByteArray &address, FolderKind kind) const
{
    const QString home = m_dataDir + QStringLiteral("/mail/") + QFile::decodeName(address);
    switch (kind) {
    case FolderKind::Inbox:
        return MaildirFolder(home, false, &m_skipped);
    case FolderKind::DeletedItems:
        return MaildirFolder(home + QStringLiteral("/.Deleted Items"), true, &m_skipped);
    case FolderKind::SentItems:
        return MaildirFolder(home + QStringLiteral("/.Sent Items"), true, &m_skipped);
    }
    return MaildirFolder(home, false, &m_skipped);
}

MaildirFolder MailStore::outbox() const
{
    return MaildirFolder(m_dataDir + QStringLiteral("/outbox"), false, &m_skipped);
}

const QList<FolderKind> &MailStore::allFolders()
{
    static const QList<FolderKind> kinds{FolderKind::Inbox, FolderKind::DeletedItems, FolderKind::SentItems};
    return kinds;
}

std::optional<FolderKind> MailStore::kindForSegment(const QByteArray &segment)
{
    for (const FolderKind kind : allFolders()) {
        if (segmentFor(kind) == segment)
            return kind;
    }
    return std::nullopt;
}

QByteArray MailStore::segmentFor(FolderKind kind)
{
    switch (kind) {
    case FolderKind::Inbox:
        return "inbox";
    case FolderKind::DeletedItems:
        return "deleteditems";
    case FolderKind::SentItems:
        return "sentitems";
    }
    return {};
}

QByteArray MailStore::displayNameFor(FolderKind kind)
{
    switch (kind) {
    case FolderKind::Inbox:
        return "Inbox";
    case FolderKind::DeletedItems:
        return "Deleted Items";
    case FolderKind::SentItems:
        return "Sent Items";
    }
    return {};
}
