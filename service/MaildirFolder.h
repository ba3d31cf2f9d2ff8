#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>

#include <functional>
#include <optional>

class WireSizeCache;

struct MaildirMessage
{
    QByteArray name;       // the last segment of its address, percent-encoded
    QByteArray uniquePart; // the file name before ":2,"
    QByteArray flags;      // the Maildir flags after ":2,"
    QString filePath;
    bool inNew = false;
    qint64 mtimeNs = 0;
    qint64 fileSize = 0;

    bool isRead() const { return flags.contains('S'); }
};

// Where each message name of a folder lives, kept until the folder's new/ or
// cur/ changes, so fetching every message of a large folder stays linear.
class FolderIndexCache
{
public:
    struct Index
    {
        qint64 newMtimeNs = -1;
        qint64 curMtimeNs = -1;
        QHash<QByteArray, QByteArray> fileOfName; // name -> "new/<file>" or "cur/<file>"
    };
    Index *lookup(const QString &folderPath) { return &m_indexes[folderPath]; }

private:
    QHash<QString, Index> m_indexes;
};

// Folder entries that are not messages (links, folders, devices), said in
// the service's log once each rather than at every listing.
class SkippedEntryLog
{
public:
    static constexpr qsizetype MaxRemembered = 10000; // entries already said; beyond it start afresh

    explicit SkippedEntryLog(std::function<void(const QString &)> log = {})
        : m_log(std::move(log))
    {
    }
    void report(const QString &path);

private:
    std::function<void(const QString &)> m_log;
    QSet<QString> m_reported;
};

// One Maildir folder (cur, new, tmp). Other programs may add and rename files
// at any time; every call looks at the folder afresh.
class MaildirFolder
{
public:
    explicit MaildirFolder(QString path, bool isSubfolder = false, SkippedEntryLog *skipped = nullptr);

    const QString &path() const { return m_path; }
    bool exists() const;
    // Creates the folder with cur/ new/ tmp/ (and the subfolder marker).
    bool ensure(QString *error) const;

    // Every message, oldest file first (modification time, then name).
    QList<MaildirMessage> list() const;
    struct Counts
    {
        int total = 0;
        int unread = 0;
    };
    Counts counts() const;
    std::optional<MaildirMessage> find(const QByteArray &name, FolderIndexCache &cache) const;

    // Sets or clears the read flag; a message in new/ moves to cur/.
    bool setRead(const MaildirMessage &message, bool read, QString *error) const;
    // Moves the message into target under the unique part given, keeping its
    // flags. Fails with *clash set when that name is taken there.
    bool moveInto(const MaildirMessage &message, const MaildirFolder &target, const QByteArray &uniquePart, bool *clash,
                  QString *error) const;

    // The address segment of a message whose file begins with uniquePart.
    static QByteArray nameForUniquePart(const QByteArray &uniquePart);
    // A unique part that a name given by a client may become.
    static bool isUsableUniquePart(const QByteArray &uniquePart);
    static void splitFileName(const QByteArray &fileName, QByteArray *uniquePart, QByteArray *flags);

private:
    // The names of the regular files of one subfolder; names beginning with
    // "." are not messages.
    QList<QByteArray> fileNamesIn(const QString &folder) const;
    // Calls onFile(fileName, info) for every regular file of one subfolder;
    // info is filled in when wantInfo is set.
    template<typename OnFile> void forEachRegularFile(const QString &folder, bool wantInfo, OnFile onFile) const;
    std::optional<MaildirMessage> messageFromFile(const QByteArray &subfolder, const QByteArray &fileName) const;
    MaildirMessage messageOf(const QByteArray &subfolder, const QByteArray &fileName, const QString &filePath,
                             const struct stat &info) const;
    void rebuildIndex(FolderIndexCache::Index *index, qint64 newMtimeNs, qint64 curMtimeNs) const;

    QString m_path;
    bool m_isSubfolder;
    SkippedEntryLog *m_skipped;
};
